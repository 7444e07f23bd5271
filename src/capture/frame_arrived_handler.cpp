#include "capture/frame_arrived_handler.h"

#include <algorithm>
#include <exception>
#include <mutex>

#include "direct_x/device.h"
#include "lib/result.h"
#include "lib/windows_error.h"
#include "platform/platform.h"

namespace lumigrab::capture {
namespace {

thread_local std::exception_ptr t_delegate_fault;

// Gives the failure's error information back to the event source with its
// code. A call that succeeded without an object has code 0, which the pool
// takes as success.
win::HRESULT hand_back(const WindowsError& error) {
  if (error.info() != nullptr) {
    platform::SetErrorInfo(0, error.info());
  }
  return error.code();
}

}  // namespace

FrameArrivedHandler::FrameArrivedHandler(ComPtr<abi::IDirect3DDevice> direct3d_device,
                                         ComPtr<abi::IDirect3D11CaptureFramePool> frame_pool,
                                         std::shared_ptr<LatestFrameSlot> latest_frame,
                                         ComPtr<abi::ID3D11Device> d3d_device,
                                         ComPtr<abi::ID3D11DeviceContext> d3d_context,
                                         abi::SizeInt32 last_size,
                                         std::shared_ptr<CaptureThreadIdCell> thread_id,
                                         ReplacementPace pace)
    : direct3d_device_(std::move(direct3d_device)),
      frame_pool_(std::move(frame_pool)),
      latest_frame_(std::move(latest_frame)),
      d3d_device_(std::move(d3d_device)),
      d3d_context_(std::move(d3d_context)),
      last_width_(last_size.Width),
      last_height_(last_size.Height),
      thread_id_(std::move(thread_id)),
      pace_(pace) {}

win::HRESULT FrameArrivedHandler::Invoke(abi::IDirect3D11CaptureFramePool* sender,
                                         abi::IInspectable* /*args*/) {
  try {
    if (sender == nullptr) {
      fault("FrameArrived parameter unexpectedly returned None.");
    }
    // Once the device is replaced, this handler's session is on its way out
    // and its frames are on the old device.
    if (new_session_wanted_) {
      return win::S_OK_;
    }
    // One event may stand for several frames; an older one left in the pool
    // would hold its buffer with no event to come for it.
    ComPtr<abi::IDirect3D11CaptureFrame> frame;
    for (;;) {
      ComPtr<abi::IDirect3D11CaptureFrame> next_frame;
      const win::HRESULT next = sender->TryGetNextFrame(next_frame.put());
      if (win::failed(next)) {
        return device_lost(next) ? replace_or_hand_back()
                                 : hand_back(WindowsError::from_hresult(next));
      }
      if (!next_frame) {
        break;
      }
      frame = std::move(next_frame);
    }
    if (!frame) {
      return win::S_OK_;
    }
    abi::SizeInt32 content_size{};
    if (const win::HRESULT hr = frame->get_ContentSize(&content_size); win::failed(hr)) {
      return device_lost(hr) ? replace_or_hand_back() : hand_back(WindowsError::from_hresult(hr));
    }
    ComPtr<abi::IDirect3DSurface> surface;
    if (auto status = check_result(frame->get_Surface(surface.put()), surface); !status) {
      return device_lost(status.error().code()) ? replace_or_hand_back()
                                                : hand_back(status.error());
    }
    ComPtr<abi::IDirect3DDxgiInterfaceAccess> access;
    if (win::failed(
            surface->QueryInterface(abi::IID_IDirect3DDxgiInterfaceAccess, access.put_void())) ||
        !access) {
      return win::E_NOINTERFACE_;
    }
    ComPtr<abi::ID3D11Texture2D> texture;
    if (auto status = check_result(
            access->GetInterface(abi::IID_ID3D11Texture2D, texture.put_void()), texture);
        !status) {
      return device_lost(status.error().code()) ? replace_or_hand_back()
                                                : hand_back(status.error());
    }
    // A frame whose texture is on another device than this handler's (one
    // taken before the device was replaced) cannot be read by its context.
    {
      ComPtr<abi::ID3D11Device> owner;
      texture->GetDevice(owner.put());
      if (owner && owner.get() != d3d_device_.get()) {
        return win::S_OK_;
      }
    }
    abi::D3D11_TEXTURE2D_DESC desc{};
    texture->GetDesc(&desc);

    if (content_size.Width == last_width_ && content_size.Height == last_height_) {
      latest_frame_->store(LatestFrame{std::move(texture), d3d_device_, d3d_context_, desc.Height,
                                       desc.Width, std::move(frame), staging_, thread_id_});
      if (pace_.gap.count() != 0 && !device_lost(win::S_OK_)) {
        pace_ = {};  // the new device works
      }
      return win::S_OK_;
    }
    // The frame that shows the new size is dropped; the slot keeps the last
    // frame of the old size until one of the new size arrives.
    const win::HRESULT recreated = frame_pool_->Recreate(direct3d_device_.get(), pixel_format_,
                                                         kFramePoolBuffers, content_size);
    if (win::failed(recreated)) {
      if (!device_lost(recreated)) {
        return hand_back(WindowsError::from_hresult(recreated));
      }
      // The next session's pool is made at the size the target shows.
      next_size_ = content_size;
      return replace_or_hand_back();
    }
    last_width_ = content_size.Width;
    last_height_ = content_size.Height;
    return win::S_OK_;
  } catch (...) {
    t_delegate_fault = std::current_exception();
    return win::E_FAIL_;
  }
}

void FrameArrivedHandler::on_device_loss_report() {
  if (!new_session_wanted_ && std::chrono::steady_clock::now() >= pace_.next &&
      device_lost(win::S_OK_)) {
    // A failure leaves the old device, for a later report to try again.
    static_cast<void>(replace_lost_device());
  }
}

bool FrameArrivedHandler::device_lost(win::HRESULT failure) const {
  return abi::is_device_lost(failure) || win::failed(d3d_device_->GetDeviceRemovedReason());
}

// Within the gap after the last replacement the failure goes back to the
// pool: a device lost again at once is not remade at every frame, and the
// next report after the gap replaces it.
win::HRESULT FrameArrivedHandler::replace_or_hand_back() {
  if (std::chrono::steady_clock::now() < pace_.next) {
    return abi::kDxgiDeviceRemoved;
  }
  auto replaced = replace_lost_device();
  return replaced ? win::S_OK_ : hand_back(replaced.error());
}

// Each attempt starts the gap in which reports are let go, or doubles it.
Status<WindowsError> FrameArrivedHandler::replace_lost_device() {
  constexpr std::chrono::milliseconds kFirstGap{100};
  constexpr std::chrono::milliseconds kLongestGap{2000};
  auto replaced = replace_device();
  pace_.gap = std::clamp(pace_.gap * 2, kFirstGap, kLongestGap);
  pace_.next = std::chrono::steady_clock::now() + pace_.gap;
  return replaced;
}

// A device that cannot be made leaves the old one, lost, for a later report
// or frame to try again.
Status<WindowsError> FrameArrivedHandler::replace_device() {
  auto created = direct_x::create_d3d_device();
  if (!created) {
    const auto& error = created.error().windows_error();
    return Err(error ? *error : WindowsError::from_hresult(win::E_FAIL_));
  }
  direct_x::D3DDevice d3d = std::move(created).value();
  auto wrapped = direct_x::create_direct3d_device(d3d.device.get());
  if (!wrapped) {
    const auto& error = wrapped.error().windows_error();
    return Err(error ? *error : WindowsError::from_hresult(win::E_FAIL_));
  }
  direct3d_device_ = std::move(wrapped).value();
  d3d_device_ = std::move(d3d.device);
  d3d_context_ = std::move(d3d.context);
  // Read-backs still on the lost device must not keep it for their staging.
  {
    const std::lock_guard lock(staging_->mutex);
    if (!staging_->lent) {
      staging_->texture = nullptr;
      staging_->device = nullptr;
    }
  }
  new_session_wanted_ = true;
  return Ok{};
}

Devices FrameArrivedHandler::take_devices() {
  return Devices{{std::move(d3d_device_), std::move(d3d_context_)},
                 std::move(direct3d_device_),
                 next_size_.value_or(abi::SizeInt32{last_width_, last_height_}),
                 pace_};
}

void discard_delegate_fault() noexcept {
  t_delegate_fault = nullptr;
}

void rethrow_delegate_fault() {
  if (std::exception_ptr pending = std::exchange(t_delegate_fault, nullptr)) {
    std::rethrow_exception(pending);
  }
}

}  // namespace lumigrab::capture
