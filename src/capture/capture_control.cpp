#include "capture/capture_control.h"

#include <chrono>
#include <string>
#include <system_error>

#include "capture/capture_thread.h"
#include "lib/fault.h"
#include "lib/utf16.h"
#include "platform/platform.h"
#include "window/window.h"

namespace lumigrab::capture {
namespace {

// How often a wait for the thread's session looks whether it is there.
constexpr auto kSessionPollInterval = std::chrono::milliseconds(10);

// The thread's whole body: whatever happens in the session, nothing unwinds
// off the thread, and the completion is recorded only after the thread input
// has been released.
void capture_thread_main(ComPtr<abi::IGraphicsCaptureItem> item,
                         std::shared_ptr<CaptureThreadIdCell> thread_id,
                         std::shared_ptr<LatestFrameSlot> latest_frame, SessionSwitches switches,
                         const std::shared_ptr<ThreadCompletion>& completion) {
  ThreadCompletion::Outcome outcome = ThreadCompletion::Outcome::Returned;
  std::string reason;
  std::optional<CaptureError::Kind> refusal;
  // Kept to tell waiters for frames that no more will come.
  const std::shared_ptr<LatestFrameSlot> slot = latest_frame;
  try {
    // The result is the owner's to discard, except a refused switch, which
    // start() reports, and what the platform said of the cause, for a start
    // that waits in vain.
    const Status<CaptureError> result = run_capture_thread(std::move(item), std::move(thread_id),
                                                           std::move(latest_frame), switches);
    if (!result && (result.error().kind() == CaptureError::Kind::CursorSwitchUnavailable ||
                    result.error().kind() == CaptureError::Kind::BorderSwitchUnavailable)) {
      refusal = result.error().kind();
    } else if (!result && platform::explains_capture_failures() &&
               result.error().windows_error() != nullptr &&
               result.error().windows_error()->info() != nullptr) {
      reason = result.error().windows_error()->message();
    }
  } catch (...) {
    outcome = ThreadCompletion::Outcome::Faulted;
  }
  completion->finish(outcome, std::move(reason), refusal);
  slot->set_writer_ended(true);
}

std::string spawn_failure(const std::system_error& error) {
  return "failed to spawn thread: Os { code: " + std::to_string(error.code().value()) +
         ", message: " + quote_for_debug(error.code().message()) + " }";
}

}  // namespace

std::optional<std::string> region_misfit(const Region& region, std::uint32_t width,
                                         std::uint32_t height, const char* what) {
  // Summed in 64 bits: a sum of two 32-bit values cannot wrap there.
  if (region.width != 0 && region.height != 0 &&
      std::uint64_t{region.left} + region.width <= width &&
      std::uint64_t{region.top} + region.height <= height) {
    return std::nullopt;
  }
  return "Region (" + std::to_string(region.left) + ", " + std::to_string(region.top) + ", " +
         std::to_string(region.width) + ", " + std::to_string(region.height) +
         ") does not fit inside the " + std::to_string(width) + "x" + std::to_string(height) + " " +
         what + ".";
}

void ThreadCompletion::finish(Outcome outcome, std::string reason,
                              std::optional<CaptureError::Kind> refusal) {
  std::lock_guard lock(mutex_);
  outcome_ = outcome;
  reason_ = std::move(reason);
  refusal_ = refusal;
}

std::string ThreadCompletion::reason() const {
  std::lock_guard lock(mutex_);
  return reason_;
}

std::optional<CaptureError::Kind> ThreadCompletion::refusal() const {
  std::lock_guard lock(mutex_);
  return refusal_;
}

ThreadCompletion::Outcome ThreadCompletion::outcome() const {
  std::lock_guard lock(mutex_);
  return outcome_;
}

CaptureControl::CaptureControl()
    : thread_id_(std::make_shared<CaptureThreadIdCell>()),
      latest_frame_(std::make_shared<LatestFrameSlot>()) {}

CaptureControl::~CaptureControl() {
  if (inherited()) {
    abandon_inherited();
    return;
  }
  if (!active()) {
    return;
  }
  try {
    stop();
  } catch (...) {
    // A fault has written its report already; a destructor cannot pass it on.
  }
}

Status<CaptureError> CaptureControl::start(const CaptureTarget& target, bool await_first_frame,
                                           const std::function<bool()>& interrupted) {
  if (target.kind() == CaptureTarget::Kind::Window &&
      !window::is_valid_window(target.window_handle())) {
    return Err(CaptureError::invalid_capture_target());
  }
  auto converted = create_capture_item(target);
  if (!converted && platform::desktop_unreachable()) {
    // With no desktop to reach no target converts: an ordinary error, which
    // reaches Python with the reason after its text.
    return Err(CaptureError::invalid_capture_target());
  }
  ComPtr<abi::IGraphicsCaptureItem> item =
      std::move(converted).value_or_fault("Failed to convert CaptureTarget to GraphicsCaptureItem");
  if (options_.region) {
    abi::SizeInt32 size{};
    if (const win::HRESULT hr = item->get_Size(&size); win::failed(hr)) {
      return Err(CaptureError::windows_error(WindowsError::from_hresult(hr)));
    }
    if (auto misfit = region_misfit(*options_.region, static_cast<std::uint32_t>(size.Width),
                                    static_cast<std::uint32_t>(size.Height), "capture target")) {
      return Err(CaptureError::region_outside_target(std::move(*misfit)));
    }
  }

  // A second start replaces the running capture; its thread is ended first so
  // that none is left running out of reach.
  if (inherited()) {
    abandon_inherited();
  }
  if (active()) {
    stop();
  }
  thread_id_->reset();
  latest_frame_->set_writer_ended(false);
  spawn(std::move(item));

  Waited waited = Waited::Done;
  if (await_first_frame) {
    waited = wait_for_first_frame(interrupted);
    if (waited == Waited::ThreadEnded) {
      return Err(stop_after_failed_start());
    }
  } else if (options_.cursor || options_.border) {
    // A refused switch must reach the caller, so start waits for the session
    // even when it need not wait for a frame. Asking for a system's default
    // can fail too, so any switch set is waited for.
    waited = wait_for_session(interrupted);
    if (waited == Waited::ThreadEnded && capture_thread_->completion->refusal()) {
      return Err(stop_after_failed_start());
    }
  }
  if (waited == Waited::Interrupted) {
    stop();
    return Err(CaptureError::interrupted());
  }
  return Ok{};
}

CaptureError CaptureControl::stop_after_failed_start() {
  const std::optional<CaptureError::Kind> refusal = capture_thread_->completion->refusal();
  std::string reason = capture_thread_->completion->reason();
  stop();
  if (refusal == CaptureError::Kind::CursorSwitchUnavailable) {
    return CaptureError::cursor_switch_unavailable();
  }
  if (refusal == CaptureError::Kind::BorderSwitchUnavailable) {
    return CaptureError::border_switch_unavailable();
  }
  return CaptureError::capture_thread_failed(std::move(reason));
}

CaptureControl::Waited CaptureControl::wait_for_session(
    const std::function<bool()>& interrupted) const {
  const ThreadCompletion& completion = *capture_thread_->completion;
  auto next_check = std::chrono::steady_clock::now() + kInterruptCheckInterval;
  for (;;) {
    const bool ended = completion.ended();
    if (thread_id_->thread_id()) {
      return Waited::Done;
    }
    if (ended) {
      return Waited::ThreadEnded;
    }
    std::this_thread::sleep_for(kSessionPollInterval);
    if (interrupted && std::chrono::steady_clock::now() >= next_check) {
      if (interrupted()) {
        return Waited::Interrupted;
      }
      next_check = std::chrono::steady_clock::now() + kInterruptCheckInterval;
    }
  }
}

void CaptureControl::spawn(ComPtr<abi::IGraphicsCaptureItem> item) {
  auto completion = std::make_shared<ThreadCompletion>();
  std::thread thread;
  try {
    thread = platform::spawn_thread(
        [item = std::move(item), thread_id = thread_id_, latest_frame = latest_frame_,
         switches = SessionSwitches{options_.cursor, options_.border}, completion]() mutable {
          capture_thread_main(std::move(item), std::move(thread_id), std::move(latest_frame),
                              switches, completion);
        });
  } catch (const std::system_error& error) {
    fault(spawn_failure(error));
  }
  capture_thread_.emplace(CaptureThread{std::move(thread), std::move(completion)});
  owner_process_ = platform::process_generation();
}

bool CaptureControl::inherited() const noexcept {
  return capture_thread_.has_value() && owner_process_ != platform::process_generation();
}

void CaptureControl::abandon_inherited() {
  // The thread handle and both records are the parent's: a join would wait
  // for a thread this process does not have, and a record's lock may have
  // been held by that thread at the fork. They are left as they are, once
  // per inherited capture; the object gets records of its own.
  new CaptureThread(std::move(*std::exchange(capture_thread_, std::nullopt)));
  new std::shared_ptr<CaptureThreadIdCell>(
      std::exchange(thread_id_, std::make_shared<CaptureThreadIdCell>()));
  new std::shared_ptr<LatestFrameSlot>(
      std::exchange(latest_frame_, std::make_shared<LatestFrameSlot>()));
}

CaptureControl::Waited CaptureControl::wait_for_first_frame(
    const std::function<bool()>& interrupted) const {
  // Nothing clears the slot while start runs; a frame wakes the wait at once,
  // and so does the end of the thread, which it marks only after its last
  // store.
  const std::uint64_t clears = latest_frame_->clears();
  for (;;) {
    switch (latest_frame_->wait_for_newer(
        0, clears, std::chrono::steady_clock::now() + kInterruptCheckInterval)) {
      case LatestFrameSlot::Wait::Newer: return Waited::Done;
      case LatestFrameSlot::Wait::Cleared:
      case LatestFrameSlot::Wait::WriterEnded: return Waited::ThreadEnded;
      case LatestFrameSlot::Wait::TimedOut: break;
    }
    if (interrupted && interrupted()) {
      return Waited::Interrupted;
    }
    // A pool whose device was lost before it delivered a frame falls silent,
    // and no read-back is there to say so: each quiet slice asks the thread
    // to look at its device, which it replaces if it is lost.
    thread_id_->ask_to_look_at_device();
  }
}

void CaptureControl::stop() {
  if (inherited()) {
    abandon_inherited();
    return;
  }
  thread_id_->request_quit();
  if (std::optional<CaptureThread> running = std::exchange(capture_thread_, std::nullopt)) {
    running->thread.join();
    if (running->completion->outcome() == ThreadCompletion::Outcome::Faulted) {
      fault("Failed to join capture thread: Any { .. }");
    }
  }
  latest_frame_->clear();
}

}  // namespace lumigrab::capture
