// The native state of a Python Capture object: at most one capture thread and
// the two records it shares with that thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "capture/capture_error.h"
#include "capture/capture_target.h"
#include "capture/records.h"
#include "lib/result.h"

namespace lumigrab::capture {

// A rectangle of the captured target, in its pixels.
struct Region {
  std::uint32_t left = 0;
  std::uint32_t top = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// Why `region` does not fit an image of `width` x `height` (`what` names the
// image, e.g. "capture target"), or nothing when it fits.
std::optional<std::string> region_misfit(const Region& region, std::uint32_t width,
                                         std::uint32_t height, const char* what);

// What a capture is started with besides its target. Switches left unset
// keep the system's default.
struct CaptureOptions {
  std::optional<bool> cursor;
  std::optional<bool> border;
  std::optional<Region> region;
};

// How a capture thread ended, shared between the thread and its owner.
class ThreadCompletion {
 public:
  enum class Outcome { Running, Returned, Faulted };

  // `reason`: what the thread's error says of its cause, if anything.
  // `refusal`: the session switch the system refused, which ended the thread.
  void finish(Outcome outcome, std::string reason,
              std::optional<CaptureError::Kind> refusal = std::nullopt);
  Outcome outcome() const;
  std::optional<CaptureError::Kind> refusal() const;
  bool ended() const { return outcome() != Outcome::Running; }
  std::string reason() const;

 private:
  mutable std::mutex mutex_;
  Outcome outcome_ = Outcome::Running;
  std::string reason_;
  std::optional<CaptureError::Kind> refusal_;
};

// Every operation runs on the calling thread and may block it: `start` until
// the first frame is stored, `stop` until the capture thread has ended. The
// object is not safe for calls from several threads at once: its owner makes
// them take turns.
//
// Faults: `start` and `stop` end with a fault (lumigrab::Fault) when the target
// cannot be converted, no thread can be made, or the capture thread ended by a
// fault of its own. The destructor must not throw, so it stops a still
// running capture and keeps quiet about such a fault (its report is on
// standard error already). An owner that wants the fault surfaced calls
// stop() itself before destroying the object; the Python binding does so in
// its release routine, where the fault goes to the unraisable hook.
class CaptureControl {
 public:
  CaptureControl();
  CaptureControl(const CaptureControl&) = delete;
  CaptureControl& operator=(const CaptureControl&) = delete;
  ~CaptureControl();

  // Refuses a window that is not a valid capture target (InvalidCaptureTarget)
  // and converts the target before anything changes. A running capture is
  // then stopped as by stop() and a new capture thread started. With
  // `await_first_frame`, waits until the first frame is stored; when the
  // thread ends without storing one, stops it and returns
  // CaptureThreadFailed, leaving the object stopped.
  //
  // The options are those set with set_options. A region that does not fit
  // the target gives RegionOutsideTarget before anything changes. A cursor or
  // border switch the system refuses ends the new thread at once; start then
  // returns CursorSwitchUnavailable or BorderSwitchUnavailable, leaving the
  // object stopped.
  //
  // While it waits for the thread, start asks `interrupted` every
  // kInterruptCheckInterval whether to give up; when it says so, start stops
  // the new thread as stop() does and returns Interrupted.
  Status<CaptureError> start(const CaptureTarget& target, bool await_first_frame,
                             const std::function<bool()>& interrupted = {});

  static constexpr std::chrono::milliseconds kInterruptCheckInterval{100};

  const CaptureOptions& options() const noexcept { return options_; }
  void set_options(const CaptureOptions& options) { options_ = options; }

  // The number of the last frame handed out by frame() or next_frame(), 0
  // before the first; see LatestFrameSlot::with_numbered_frame.
  std::uint64_t last_returned() const noexcept {
    return last_returned_.load(std::memory_order_relaxed);
  }
  void set_last_returned(std::uint64_t number) noexcept {
    last_returned_.store(number, std::memory_order_relaxed);
  }

  // Asks the capture thread to quit, joins it and empties the frame slot. The
  // thread's own result is discarded. Harmless without a running capture.
  void stop();

  // Whether a capture thread is held, whether or not it is still running. In
  // a child process after fork() the parent's capture is stopped: its thread
  // is not there.
  bool active() const noexcept { return capture_thread_.has_value() && !inherited(); }

  LatestFrameSlot& latest_frame() noexcept { return *latest_frame_; }
  // The slot itself, for a waiter that must not hold on to this object.
  std::shared_ptr<const LatestFrameSlot> shared_latest_frame() const noexcept {
    return latest_frame_;
  }
  const CaptureThreadIdCell& thread_id() const noexcept { return *thread_id_; }
  // The same for the capture thread's id.
  std::shared_ptr<const CaptureThreadIdCell> shared_thread_id() const noexcept {
    return thread_id_;
  }

 private:
  struct CaptureThread {
    std::thread thread;
    std::shared_ptr<ThreadCompletion> completion;
  };

  void spawn(ComPtr<abi::IGraphicsCaptureItem> item);
  // Whether this object came into a child process by fork() with its
  // capture: the thread is the parent's, and the records may be held by it.
  bool inherited() const noexcept;
  // Lets go of an inherited capture without touching it.
  void abandon_inherited();
  enum class Waited { Done, ThreadEnded, Interrupted };
  // Done once a frame is stored.
  Waited wait_for_first_frame(const std::function<bool()>& interrupted) const;
  // Done once the thread has set its session up.
  Waited wait_for_session(const std::function<bool()>& interrupted) const;
  // After a thread ended without a frame: the refusal that ended it, or
  // CaptureThreadFailed. The object is stopped.
  CaptureError stop_after_failed_start();

  std::shared_ptr<CaptureThreadIdCell> thread_id_;
  std::shared_ptr<LatestFrameSlot> latest_frame_;
  std::optional<CaptureThread> capture_thread_;
  // The process that holds `capture_thread_`'s thread.
  std::uint64_t owner_process_ = 0;
  CaptureOptions options_;
  std::atomic<std::uint64_t> last_returned_{0};
};

}  // namespace lumigrab::capture
