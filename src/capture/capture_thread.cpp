#include "capture/capture_thread.h"

#include <optional>
#include <utility>

#include "capture/activation.h"
#include "capture/frame_arrived_handler.h"
#include "direct_x/device.h"
#include "platform/platform.h"

namespace lumigrab::capture {
namespace {

constexpr std::int32_t kRoInitMultithreaded = 1;

// What the thread was started with. The item, a runtime object, is let go
// before the thread leaves the Windows Runtime; the rest when the thread ends.
struct ThreadInput {
  std::shared_ptr<LatestFrameSlot> latest_frame;
  std::shared_ptr<CaptureThreadIdCell> thread_id;
  ComPtr<abi::IGraphicsCaptureItem> item;
  SessionSwitches switches;
};

// Whether a switch's failure says that the system will not have it set so,
// rather than that something went wrong.
bool is_refusal(win::HRESULT result) noexcept {
  return result == win::E_ACCESSDENIED_ || result == win::E_NOTIMPL_ ||
         result == win::E_NOINTERFACE_;
}

// Sets one switch through the session interface `Session` that carries it,
// and reads it back: a system may accept a setting and keep its own.
// Without that interface (an older system) only the system's default can be
// had; asking for anything else is `refusal`, as is a setting the session
// declines or does not keep. Other failures are Windows errors.
template <typename Session, typename Put, typename Get>
std::optional<CaptureError> set_switch(abi::IGraphicsCaptureSession* session, const win::GUID& iid,
                                       bool value, bool system_default, Put put, Get get,
                                       CaptureError (*refusal)()) {
  ComPtr<Session> extended;
  if (win::failed(session->QueryInterface(iid, extended.put_void())) || !extended) {
    return value == system_default ? std::nullopt : std::optional(refusal());
  }
  abi::boolean now = 0;
  win::HRESULT result = put(*extended.get(), static_cast<abi::boolean>(value ? 1 : 0));
  if (win::succeeded(result)) {
    result = get(*extended.get(), &now);
  }
  if (is_refusal(result) || (win::succeeded(result) && (now != 0) != value)) {
    return refusal();
  }
  if (win::failed(result)) {
    return CaptureError::windows_error(WindowsError::from_hresult(result));
  }
  return std::nullopt;
}

std::optional<CaptureError> apply_switches(abi::IGraphicsCaptureSession* session,
                                           const SessionSwitches& switches) {
  // Windows draws the pointer and the border unless told otherwise.
  if (switches.cursor) {
    if (auto failure = set_switch<abi::IGraphicsCaptureSession2>(
            session, abi::IID_IGraphicsCaptureSession2, *switches.cursor, true,
            [](abi::IGraphicsCaptureSession2& s, abi::boolean v) {
              return s.put_IsCursorCaptureEnabled(v);
            },
            [](abi::IGraphicsCaptureSession2& s, abi::boolean* v) {
              return s.get_IsCursorCaptureEnabled(v);
            },
            &CaptureError::cursor_switch_unavailable)) {
      return failure;
    }
  }
  if (switches.border) {
    if (auto failure = set_switch<abi::IGraphicsCaptureSession3>(
            session, abi::IID_IGraphicsCaptureSession3, *switches.border, true,
            [](abi::IGraphicsCaptureSession3& s, abi::boolean v) {
              return s.put_IsBorderRequired(v);
            },
            [](abi::IGraphicsCaptureSession3& s, abi::boolean* v) {
              return s.get_IsBorderRequired(v);
            },
            &CaptureError::border_switch_unavailable)) {
      return failure;
    }
  }
  return std::nullopt;
}

Err<CaptureError> capture_failure(Status<WindowsError>&& status) {
  return Err(CaptureError::windows_error(std::move(status).error()));
}

// The handler stays registered with the pool until removed. The pool and the
// handler hold each other, so a thread that fails after registering removes
// the handler on its way out; otherwise neither would ever be released.
class FrameArrivedRegistration {
 public:
  FrameArrivedRegistration(abi::IDirect3D11CaptureFramePool* pool,
                           abi::EventRegistrationToken token)
      : pool_(pool), token_(token) {}
  FrameArrivedRegistration(const FrameArrivedRegistration&) = delete;
  FrameArrivedRegistration& operator=(const FrameArrivedRegistration&) = delete;
  ~FrameArrivedRegistration() {
    if (pool_ != nullptr) {
      pool_->remove_FrameArrived(token_);
    }
  }

  // The orderly removal. One that fails is tried once more as the thread
  // unwinds from the fault it causes.
  win::HRESULT remove() {
    const win::HRESULT hr = pool_->remove_FrameArrived(token_);
    if (win::succeeded(hr)) {
      pool_ = nullptr;
    }
    return hr;
  }

 private:
  abi::IDirect3D11CaptureFramePool* pool_;
  abi::EventRegistrationToken token_;
};

void close_or_fault(abi::IInspectable* object, const char* context) {
  ComPtr<abi::IClosable> closable;
  if (win::failed(object->QueryInterface(abi::IID_IClosable, closable.put_void())) || !closable) {
    Status<WindowsError>(Err(WindowsError::no_interface())).value_or_fault(context);
  }
  check_hresult(closable->Close()).value_or_fault(context);
}

// Why a session's message loop ended.
enum class SessionEnd : std::uint8_t { Quit, NewDevice };

// Read-backs' reports of a lost device are taken here, on the thread that
// owns the device and the pool. The loop ends at the owner's quit, or once
// the handler has a new device for the next session.
SessionEnd pump_messages(FrameArrivedHandler& handler, CaptureThreadIdCell& thread_id) {
  win::MSG msg{};
  // GetMessageW gives -1 on an error; that ends the loop too rather than
  // spinning on it.
  while (platform::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (msg.hwnd == nullptr && msg.message == kDeviceLossReport) {
      // Taken before the device is looked at, so that a loss found after the
      // look is reported again.
      thread_id.take_device_loss_report();
      handler.on_device_loss_report();
    } else {
      platform::TranslateMessage(&msg);
      platform::DispatchMessageW(&msg);
    }
    rethrow_delegate_fault();
    if (handler.wants_new_session()) {
      return SessionEnd::NewDevice;
    }
  }
  return SessionEnd::Quit;
}

// The thread's dispatcher queue. Windows finishes shutting a queue down only
// while its thread keeps pumping messages, and until then keeps the
// controller, the queue, the action and its handler alive; so the queue is
// shut down, and the thread pumps until that completes, before the thread
// lets go of it, on every way out.
class ThreadDispatcherQueue {
 public:
  explicit ThreadDispatcherQueue(ComPtr<abi::IDispatcherQueueController> controller)
      : controller_(std::move(controller)) {}
  ThreadDispatcherQueue(const ThreadDispatcherQueue&) = delete;
  ThreadDispatcherQueue& operator=(const ThreadDispatcherQueue&) = delete;
  ~ThreadDispatcherQueue() {
    if (controller_) {
      // A failure here leaves the queue to Windows; the thread is already
      // ending with an error or fault of its own.
      try {
        static_cast<void>(shut_down());
      } catch (...) {  // NOLINT(bugprone-empty-catch)
      }
    }
  }

  // Work still queued runs meanwhile; a fault it leaves is not raised again
  // here, since the frame handler is gone by then.
  Status<WindowsError> shut_down() {
    const ComPtr<abi::IDispatcherQueueController> controller = std::move(controller_);
    ComPtr<abi::IAsyncAction> shutdown;
    if (auto status = check_result(controller->ShutdownQueueAsync(shutdown.put()), shutdown);
        !status) {
      return status;
    }
    const auto completed = std::make_shared<std::atomic<bool>>(false);
    {
      const auto handler = ComPtr<abi::IAsyncActionCompletedHandler>::attach(
          new ShutdownCompletedHandler(completed, platform::GetCurrentThreadId()));
      if (auto status = check_hresult(shutdown->put_Completed(handler.get())); !status) {
        return status;
      }
    }
    win::MSG msg{};
    // Only the completion's flag ends the wait; a quit message (one posted by
    // an owner asking a failed thread to stop) does not.
    while (!completed->load()) {
      const win::BOOL got = platform::GetMessageW(&msg, nullptr, 0, 0);
      if (got < 0) {
        break;
      }
      if (got > 0) {
        platform::TranslateMessage(&msg);
        platform::DispatchMessageW(&msg);
      }
    }
    discard_delegate_fault();
    return Ok{};
  }

 private:
  ComPtr<abi::IDispatcherQueueController> controller_;
};

// Runs one session of the item on `devices` (a pool on them, the session,
// the handler registered) until the owner asks the thread to quit, or until
// the handler has replaced a lost device: `devices` then holds the new one,
// for the next session. Everything the session makes is closed or released
// before this returns. The thread's id is published, once, before the first
// session starts.
Result<SessionEnd, CaptureError> run_session(const ThreadInput& input, Devices& devices,
                                             bool& published) {
  // Read once: the pool's buffers and the frame handler's first size agree.
  abi::SizeInt32 size{};
  if (devices.size) {
    size = *devices.size;
  } else if (auto status = check_hresult(input.item->get_Size(&size)); !status) {
    return capture_failure(std::move(status));
  }
  ComPtr<abi::IDirect3D11CaptureFramePool> pool;
  {
    auto statics = activation::frame_pool_statics();
    if (!statics) {
      return Err(CaptureError::windows_error(std::move(statics).error()));
    }
    if (auto status =
            check_result(statics.value()->Create(devices.direct3d.get(),
                                                 abi::DirectXPixelFormat_R8G8B8A8UIntNormalized,
                                                 kFramePoolBuffers, size, pool.put()),
                         pool);
        !status) {
      return capture_failure(std::move(status));
    }
  }
  ComPtr<abi::IGraphicsCaptureSession> session;
  if (auto status =
          check_result(pool->CreateCaptureSession(input.item.get(), session.put()), session);
      !status) {
    return capture_failure(std::move(status));
  }
  if (std::optional<CaptureError> refused = apply_switches(session.get(), input.switches)) {
    return Err(std::move(*refused));
  }

  // From here on the owner can post WM_QUIT. An owner that asked to stop
  // before the id was there is answered by not entering the message loop.
  bool quit_requested = false;
  if (!std::exchange(published, true)) {
    quit_requested = !input.thread_id->publish(platform::GetCurrentThreadId());
  }

  abi::EventRegistrationToken token{};
  // The handler takes the devices over: once it replaces a lost one, nothing
  // here keeps the old one alive.
  const auto handler = ComPtr<FrameArrivedHandler>::attach(new FrameArrivedHandler(
      std::move(devices.direct3d), pool, input.latest_frame, std::move(devices.d3d.device),
      std::move(devices.d3d.context), size, input.thread_id, devices.pace));
  if (auto status = check_hresult(pool->add_FrameArrived(handler.get(), &token)); !status) {
    return capture_failure(std::move(status));
  }
  FrameArrivedRegistration registration(pool.get(), token);
  if (auto status = check_hresult(session->StartCapture()); !status) {
    return capture_failure(std::move(status));
  }

  const SessionEnd end =
      quit_requested ? SessionEnd::Quit : pump_messages(*handler.get(), *input.thread_id);

  check_hresult(registration.remove())
      .value_or_fault("Failed to remove Frame Arrived event handler");
  close_or_fault(pool.get(), "Failed to Close Frame Pool");
  close_or_fault(session.get(), "Failed to Close Capture Session");
  if (end == SessionEnd::NewDevice) {
    devices = handler->take_devices();
  }
  return end;
}

// Runs sessions of the item, a new one on each new device, with the thread's
// dispatcher queue. Everything they make is released before this returns, so
// before the caller leaves the Windows Runtime.
Status<CaptureError> run_sessions(const ThreadInput& input) {
  // The stored frame stays readable, but the runtime's frame object must go
  // while this thread is still in the Windows Runtime; after the queue has
  // run its last work, which could still store one: so this goes after the
  // queue, also when a fault unwinds the thread.
  class StoredFrameRelease {
   public:
    explicit StoredFrameRelease(LatestFrameSlot& slot) : slot_(slot) {}
    StoredFrameRelease(const StoredFrameRelease&) = delete;
    StoredFrameRelease& operator=(const StoredFrameRelease&) = delete;
    ~StoredFrameRelease() { slot_.release_capture_frame(); }

   private:
    LatestFrameSlot& slot_;
  } release_stored_frame(*input.latest_frame);
  std::optional<ThreadDispatcherQueue> queue;
  {
    ComPtr<abi::IDispatcherQueueController> controller;
    const abi::DispatcherQueueOptions options{sizeof(abi::DispatcherQueueOptions),
                                              abi::DQTYPE_THREAD_CURRENT, abi::DQTAT_COM_NONE};
    if (auto status = check_result(
            platform::CreateDispatcherQueueController(options, controller.put()), controller);
        !status) {
      return capture_failure(std::move(status));
    }
    queue.emplace(std::move(controller));
  }
  Devices devices;
  {
    auto created_device = direct_x::create_d3d_device();
    if (!created_device) {
      return Err(CaptureError::directx_error(std::move(created_device).error()));
    }
    devices.d3d = std::move(created_device).value();
    auto wrapped_device = direct_x::create_direct3d_device(devices.d3d.device.get());
    if (!wrapped_device) {
      return Err(CaptureError::directx_error(std::move(wrapped_device).error()));
    }
    devices.direct3d = std::move(wrapped_device).value();
  }
  bool published = false;
  Status<CaptureError> outcome = Ok{};
  for (;;) {
    auto ended = run_session(input, devices, published);
    if (!ended) {
      outcome = Err(std::move(ended).error());
      break;
    }
    if (ended.value() == SessionEnd::Quit) {
      break;
    }
  }
  Status<WindowsError> shut_down = queue->shut_down();
  if (!outcome) {
    return outcome;
  }
  if (!shut_down) {
    return capture_failure(std::move(shut_down));
  }
  return Ok{};
}

}  // namespace

Status<CaptureError> run_capture_thread(ComPtr<abi::IGraphicsCaptureItem> item,
                                        std::shared_ptr<CaptureThreadIdCell> thread_id,
                                        std::shared_ptr<LatestFrameSlot> latest_frame,
                                        SessionSwitches switches) {
  ThreadInput input{std::move(latest_frame), std::move(thread_id), std::move(item), switches};
  if (auto status = check_hresult(platform::RoInitialize(kRoInitMultithreaded)); !status) {
    return capture_failure(std::move(status));
  }
  // Nothing pumps this thread's messages once it leaves here, and Windows may
  // give its id to another thread: nothing is posted to it from then on, on
  // every way out, a fault included.
  class Withdrawal {
   public:
    explicit Withdrawal(CaptureThreadIdCell& cell) : cell_(cell) {}
    Withdrawal(const Withdrawal&) = delete;
    Withdrawal& operator=(const Withdrawal&) = delete;
    ~Withdrawal() { cell_.withdraw(); }

   private:
    CaptureThreadIdCell& cell_;
  } withdrawal(*input.thread_id);
  Status<CaptureError> result = run_sessions(input);
  // The item is a runtime object too.
  input.item = nullptr;
  platform::RoUninitialize();
  return result;
}

win::HRESULT ShutdownCompletedHandler::Invoke(abi::IAsyncAction* /*async_info*/,
                                              abi::AsyncStatus /*status*/) {
  if (completed_) {
    completed_->store(true);
  }
  // The completion may run on another thread than the one that waits for it:
  // a message wakes that thread's GetMessageW, whose loop sees the flag.
  platform::PostThreadMessageW(thread_id_, win::WM_NULL_, 0, 0);
  return win::S_OK_;
}

}  // namespace lumigrab::capture
