// The body of a capture thread: one capture session, from setting it up to
// taking it down once the thread's owner posts WM_QUIT.
#pragma once

#include <atomic>
#include <memory>
#include <optional>

#include "capture/capture_error.h"
#include "capture/delegate.h"
#include "capture/records.h"
#include "lib/live_count.h"
#include "lib/result.h"
#include "platform/com_ptr.h"

namespace lumigrab::capture {

// Runs on the capture thread: joins the multithreaded apartment, binds a
// dispatcher queue to the thread, makes the device, frame pool and session,
// publishes the thread's id, starts capturing and pumps messages until
// WM_QUIT; then takes the session down. Frames arrive on this thread, inside
// its message loop. Returns WindowsError or DirectXError when the session
// cannot be set up; a failed teardown step is a fault, which the caller (the
// thread's own wrapper) must catch so that it never leaves the thread.
// Session switches the owner asked for; unset ones are left at the system's
// default and never touched.
struct SessionSwitches {
  std::optional<bool> cursor;  // the mouse pointer drawn into frames
  std::optional<bool> border;  // the border drawn around the target
};

// `switches` are set on the session before the id is published. A switch the
// system lacks or refuses ends the thread with CursorSwitchUnavailable or
// BorderSwitchUnavailable, except one asking for what the system does anyway
// (the pointer or the border shown).
Status<CaptureError> run_capture_thread(ComPtr<abi::IGraphicsCaptureItem> item,
                                        std::shared_ptr<CaptureThreadIdCell> thread_id,
                                        std::shared_ptr<LatestFrameSlot> latest_frame,
                                        SessionSwitches switches = {});

// Completes the dispatcher queue's shutdown: marks `completed`, which ends the
// loop that waits for it, and wakes that loop on `thread_id` (the thread
// that shut the queue down, whichever thread the completion runs on).
class ShutdownCompletedHandler final
    : public Delegate<ShutdownCompletedHandler, abi::IAsyncActionCompletedHandler,
                      abi::IID_IAsyncActionCompletedHandler>,
      public LiveCount<ShutdownCompletedHandler> {
 public:
  ShutdownCompletedHandler(std::shared_ptr<std::atomic<bool>> completed, win::DWORD thread_id)
      : completed_(std::move(completed)), thread_id_(thread_id) {}

  win::HRESULT LUMIGRAB_STDCALL Invoke(abi::IAsyncAction* async_info,
                                       abi::AsyncStatus status) override;

 private:
  friend Delegate;
  ~ShutdownCompletedHandler() = default;

  const std::shared_ptr<std::atomic<bool>> completed_;
  const win::DWORD thread_id_;
};

}  // namespace lumigrab::capture
