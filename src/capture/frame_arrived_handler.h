// The delegate the frame pool calls, on the capture thread, for every frame.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "capture/delegate.h"
#include "capture/records.h"
#include "direct_x/device.h"
#include "lib/live_count.h"
#include "lib/result.h"
#include "lib/windows_error.h"
#include "platform/com_ptr.h"

namespace lumigrab::capture {

// The frame pool's buffers, when made and remade: the stored frame keeps one,
// and the next frame arrives in the other.
inline constexpr std::int32_t kFramePoolBuffers = 2;

// How often lost devices are replaced: after each replacement, reports of a
// loss are let go, and a frame that shows one hands it back, for a gap that
// doubles (from 100 ms to 2 s) until a frame is stored from a working new
// device. Making a device while the system recovers from a GPU reset can
// take long and fail, a device can be lost again at once, and callers with
// nothing to read report every 100 ms.
struct ReplacementPace {
  std::chrono::steady_clock::time_point next{};
  std::chrono::milliseconds gap{0};
};

// A Direct3D device with its immediate context, the Windows Runtime device
// that wraps it for a frame pool, and, once a session has run, the size of
// the content it last saw (a new session's pool is made at that size, since
// the item's own size may lag behind what the target shows) and the pace of
// replacements, which goes on across sessions.
struct Devices {
  direct_x::D3DDevice d3d;
  ComPtr<abi::IDirect3DDevice> direct3d;
  std::optional<abi::SizeInt32> size;
  ReplacementPace pace;
};

// Stores each arriving frame in the slot, with its texture, without copying
// pixels: the frame keeps its pool buffer from being written again until a
// newer frame replaces it. When the content changes size, recreates the pool's buffers
// at the new size and drops that frame instead.
class FrameArrivedHandler final : public Delegate<FrameArrivedHandler, abi::IFrameArrivedHandler,
                                                  abi::IID_IFrameArrivedHandler>,
                                  public LiveCount<FrameArrivedHandler> {
 public:
  // The pool buffers' size, as they were last made.
  // `thread_id` goes with each stored frame, for read-backs to report a lost
  // device to this thread.
  FrameArrivedHandler(ComPtr<abi::IDirect3DDevice> direct3d_device,
                      ComPtr<abi::IDirect3D11CaptureFramePool> frame_pool,
                      std::shared_ptr<LatestFrameSlot> latest_frame,
                      ComPtr<abi::ID3D11Device> d3d_device,
                      ComPtr<abi::ID3D11DeviceContext> d3d_context, abi::SizeInt32 last_size,
                      std::shared_ptr<CaptureThreadIdCell> thread_id = nullptr,
                      ReplacementPace pace = {});

  // Takes every frame waiting in the pool and keeps the newest, so that none
  // is left holding a buffer. A failure goes back to the pool as its HRESULT,
  // with its error information handed over through SetErrorInfo; the capture
  // goes on. A failure on a lost device (whatever the failing call said, the
  // device is asked) replaces the device, and the capture thread then starts
  // a new session on the new one (wants_new_session): a pool remade on a new
  // device would deliver nothing until the target changes, while a new
  // session delivers what it shows at once. The stored frame stays on the
  // old device, whose read-backs then fail, until a frame from the new one
  // replaces it.
  win::HRESULT LUMIGRAB_STDCALL Invoke(abi::IDirect3D11CaptureFramePool* sender,
                                       abi::IInspectable* args) override;

  // A read-back found the stored frame's device lost, or a caller with nothing
  // to read asks (kDeviceLossReport): replaces the handler's device if that one
  // is lost, at the pace of ReplacementPace.
  void on_device_loss_report();

  // Whether a lost device has been replaced: the thread then closes this
  // handler's session and starts one on the devices it takes from here. From
  // then on the handler lets frames and reports go.
  bool wants_new_session() const noexcept { return new_session_wanted_; }
  Devices take_devices();

 private:
  friend Delegate;
  ~FrameArrivedHandler() = default;

  // Whether `failure` or the device itself says the device is lost.
  bool device_lost(win::HRESULT failure) const;
  Status<WindowsError> replace_lost_device();
  Status<WindowsError> replace_device();
  win::HRESULT replace_or_hand_back();

  // Replaced, on this thread, when the device is lost.
  ComPtr<abi::IDirect3DDevice> direct3d_device_;
  ComPtr<abi::IDirect3D11CaptureFramePool> frame_pool_;
  std::shared_ptr<LatestFrameSlot> latest_frame_;
  ComPtr<abi::ID3D11Device> d3d_device_;
  ComPtr<abi::ID3D11DeviceContext> d3d_context_;
  std::int32_t last_width_;
  std::int32_t last_height_;
  std::int32_t pixel_format_ = abi::DirectXPixelFormat_R8G8B8A8UIntNormalized;
  const std::shared_ptr<StagingTexture> staging_ = std::make_shared<StagingTexture>();
  const std::shared_ptr<CaptureThreadIdCell> thread_id_;
  bool new_session_wanted_ = false;
  ReplacementPace pace_;
  // The size the target showed when the pool could not be remade at it, for
  // the next session's pool.
  std::optional<abi::SizeInt32> next_size_;
};

// A fault inside a delegate must not unwind through the platform that called
// it. Invoke keeps it for the capture thread instead, which raises it again
// here once DispatchMessageW has returned.
void rethrow_delegate_fault();
// Forgets a kept fault, for a thread that is shutting down anyway.
void discard_delegate_fault() noexcept;

}  // namespace lumigrab::capture
