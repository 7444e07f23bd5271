#include "capture/frame_arrived_handler.h"

#include <exception>

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
                                         abi::SizeInt32 last_size)
    : direct3d_device_(std::move(direct3d_device)),
      frame_pool_(std::move(frame_pool)),
      latest_frame_(std::move(latest_frame)),
      d3d_device_(std::move(d3d_device)),
      d3d_context_(std::move(d3d_context)),
      last_width_(last_size.Width),
      last_height_(last_size.Height) {}

win::HRESULT FrameArrivedHandler::Invoke(abi::IDirect3D11CaptureFramePool* sender,
                                         abi::IInspectable* /*args*/) {
  try {
    if (sender == nullptr) {
      fault("FrameArrived parameter unexpectedly returned None.");
    }
    ComPtr<abi::IDirect3D11CaptureFrame> frame;
    const win::HRESULT next = sender->TryGetNextFrame(frame.put());
    if (abi::is_device_lost(next)) {
      return replace_lost_device();
    }
    if (win::failed(next)) {
      return hand_back(WindowsError::from_hresult(next));
    }
    if (!frame) {
      return win::S_OK_;
    }
    abi::SizeInt32 content_size{};
    if (const win::HRESULT hr = frame->get_ContentSize(&content_size); win::failed(hr)) {
      return hand_back(WindowsError::from_hresult(hr));
    }
    ComPtr<abi::IDirect3DSurface> surface;
    if (auto status = check_result(frame->get_Surface(surface.put()), surface); !status) {
      return hand_back(status.error());
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
      return hand_back(status.error());
    }
    abi::D3D11_TEXTURE2D_DESC desc{};
    texture->GetDesc(&desc);

    if (content_size.Width == last_width_ && content_size.Height == last_height_) {
      latest_frame_->store(LatestFrame{std::move(texture), d3d_device_, d3d_context_, desc.Height,
                                       desc.Width, std::move(frame), staging_});
      return win::S_OK_;
    }
    // The frame that shows the new size is dropped; the slot keeps the last
    // frame of the old size until one of the new size arrives.
    const win::HRESULT recreated = frame_pool_->Recreate(direct3d_device_.get(), pixel_format_,
                                                         kFramePoolBuffers, content_size);
    if (abi::is_device_lost(recreated)) {
      return replace_lost_device();
    }
    if (win::failed(recreated)) {
      return hand_back(WindowsError::from_hresult(recreated));
    }
    last_width_ = content_size.Width;
    last_height_ = content_size.Height;
    return win::S_OK_;
  } catch (...) {
    t_delegate_fault = std::current_exception();
    return win::E_FAIL_;
  }
}

// Remade at the last size; a resize still pending recreates the pool again
// with the next frame. A device that cannot be made leaves the old one, and
// the next frame tries again.
win::HRESULT FrameArrivedHandler::replace_lost_device() {
  auto created = direct_x::create_d3d_device();
  if (!created) {
    const auto& error = created.error().windows_error();
    return error ? hand_back(*error) : win::E_FAIL_;
  }
  direct_x::D3DDevice d3d = std::move(created).value();
  auto wrapped = direct_x::create_direct3d_device(d3d.device.get());
  if (!wrapped) {
    const auto& error = wrapped.error().windows_error();
    return error ? hand_back(*error) : win::E_FAIL_;
  }
  ComPtr<abi::IDirect3DDevice> direct3d_device = std::move(wrapped).value();
  const win::HRESULT recreated = frame_pool_->Recreate(
      direct3d_device.get(), pixel_format_, kFramePoolBuffers, {last_width_, last_height_});
  if (win::failed(recreated)) {
    return hand_back(WindowsError::from_hresult(recreated));
  }
  direct3d_device_ = std::move(direct3d_device);
  d3d_device_ = std::move(d3d.device);
  d3d_context_ = std::move(d3d.context);
  return win::S_OK_;
}

void discard_delegate_fault() noexcept { t_delegate_fault = nullptr; }

void rethrow_delegate_fault() {
  if (std::exception_ptr pending = std::exchange(t_delegate_fault, nullptr)) {
    std::rethrow_exception(pending);
  }
}

}  // namespace lumigrab::capture
