#include "capture/records.h"

#include "platform/platform.h"

namespace lumigrab::capture {

void LatestFrameSlot::store(LatestFrame frame) {
  {
    std::lock_guard lock(mutex_);
    frame_ = std::move(frame);
    ++stored_;
  }
  changed_.notify_all();
}

void LatestFrameSlot::clear() {
  {
    std::lock_guard lock(mutex_);
    frame_.reset();
    ++clears_;
  }
  changed_.notify_all();
}

std::uint64_t LatestFrameSlot::clears() const {
  std::lock_guard lock(mutex_);
  return clears_;
}

void LatestFrameSlot::set_writer_ended(bool ended) {
  {
    std::lock_guard lock(mutex_);
    writer_ended_ = ended;
  }
  changed_.notify_all();
}

LatestFrameSlot::Wait LatestFrameSlot::wait_for_newer(
    std::uint64_t seen, std::uint64_t clears, std::chrono::steady_clock::time_point until) const {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (clears_ != clears) {
      return Wait::Cleared;
    }
    if (frame_ && stored_ > seen) {
      return Wait::Newer;
    }
    if (writer_ended_) {
      return Wait::WriterEnded;
    }
    if (changed_.wait_until(lock, until) == std::cv_status::timeout) {
      // One last look: the wake and the deadline may have come together.
      if (clears_ != clears) {
        return Wait::Cleared;
      }
      if (frame_ && stored_ > seen) {
        return Wait::Newer;
      }
      return writer_ended_ ? Wait::WriterEnded : Wait::TimedOut;
    }
  }
}

void LatestFrameSlot::release_capture_frame() {
  ComPtr<abi::IDirect3D11CaptureFrame> released;
  std::lock_guard lock(mutex_);
  if (frame_) {
    released = std::move(frame_->capture_frame);
  }
}

void report_if_device_lost(const LatestFrame& frame, win::HRESULT failure) {
  if (!frame.capture_thread) {
    return;
  }
  if (abi::is_device_lost(failure) ||
      (frame.device && win::failed(frame.device->GetDeviceRemovedReason()))) {
    frame.capture_thread->report_device_loss();
  }
}

bool LatestFrameSlot::report_lost_device() const {
  std::lock_guard lock(mutex_);
  if (!frame_) {
    return false;
  }
  report_if_device_lost(*frame_, win::S_OK_);
  return true;
}

bool LatestFrameSlot::has_frame() const {
  std::lock_guard lock(mutex_);
  return frame_.has_value();
}

void CaptureThreadIdCell::reset() {
  std::lock_guard lock(mutex_);
  thread_id_.reset();
  quit_requested_ = false;
  withdrawn_ = false;
  loss_reported_ = false;
}

bool CaptureThreadIdCell::publish(win::DWORD thread_id) {
  std::lock_guard lock(mutex_);
  thread_id_ = thread_id;
  return !quit_requested_;
}

void CaptureThreadIdCell::request_quit() {
  std::lock_guard lock(mutex_);
  if (const std::optional<win::DWORD> id = std::exchange(thread_id_, std::nullopt)) {
    if (!withdrawn_) {
      platform::PostThreadMessageW(*id, win::WM_QUIT_, 0, 0);
    }
  } else {
    quit_requested_ = true;
  }
}

void CaptureThreadIdCell::report_device_loss() const {
  std::lock_guard lock(mutex_);
  if (thread_id_ && !withdrawn_ && !loss_reported_) {
    loss_reported_ = platform::PostThreadMessageW(*thread_id_, kDeviceLossReport, 0, 0) != 0;
  }
}

void CaptureThreadIdCell::ask_to_look_at_device() const {
  constexpr std::chrono::milliseconds kAskInterval{100};
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard lock(mutex_);
    if (now - last_ask_ < kAskInterval) {
      return;
    }
    last_ask_ = now;
  }
  report_device_loss();
}

void CaptureThreadIdCell::take_device_loss_report() {
  std::lock_guard lock(mutex_);
  loss_reported_ = false;
}

void CaptureThreadIdCell::withdraw() {
  std::lock_guard lock(mutex_);
  withdrawn_ = true;
}

std::optional<win::DWORD> CaptureThreadIdCell::thread_id() const {
  std::lock_guard lock(mutex_);
  return thread_id_;
}

}  // namespace lumigrab::capture
