#include "capture/records.h"

#include "platform/platform.h"

namespace lumigrab::capture {

void LatestFrameSlot::store(LatestFrame frame) {
  std::lock_guard lock(mutex_);
  frame_ = std::move(frame);
}

void LatestFrameSlot::clear() {
  std::lock_guard lock(mutex_);
  frame_.reset();
}

bool LatestFrameSlot::has_frame() const {
  std::lock_guard lock(mutex_);
  return frame_.has_value();
}

void CaptureThreadIdCell::reset() {
  std::lock_guard lock(mutex_);
  thread_id_.reset();
  quit_requested_ = false;
}

bool CaptureThreadIdCell::publish(win::DWORD thread_id) {
  std::lock_guard lock(mutex_);
  thread_id_ = thread_id;
  return !quit_requested_;
}

void CaptureThreadIdCell::request_quit() {
  std::lock_guard lock(mutex_);
  if (const std::optional<win::DWORD> id = std::exchange(thread_id_, std::nullopt)) {
    platform::PostThreadMessageW(*id, win::WM_QUIT_, 0, 0);
  } else {
    quit_requested_ = true;
  }
}

std::optional<win::DWORD> CaptureThreadIdCell::thread_id() const {
  std::lock_guard lock(mutex_);
  return thread_id_;
}

}  // namespace lumigrab::capture
