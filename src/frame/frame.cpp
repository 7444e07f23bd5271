#include "frame/frame.h"

#include <cstring>

namespace lumigrab::frame {
namespace {

abi::D3D11_TEXTURE2D_DESC staging_desc(const capture::LatestFrame& frame) {
  abi::D3D11_TEXTURE2D_DESC desc{};
  desc.Width = frame.width;
  desc.Height = frame.height;
  desc.MipLevels = 1;
  desc.ArraySize = 1;
  desc.Format = abi::DXGI_FORMAT_R8G8B8A8_UNORM;
  desc.SampleDesc.Count = 1;
  desc.SampleDesc.Quality = 0;
  desc.Usage = abi::D3D11_USAGE_STAGING;
  desc.BindFlags = 0;
  desc.CPUAccessFlags = abi::D3D11_CPU_ACCESS_READ | abi::D3D11_CPU_ACCESS_WRITE;
  desc.MiscFlags = 0;
  return desc;
}

// Subresource 0 of a texture, mapped for as long as this lives.
class Mapping {
 public:
  Mapping(abi::ID3D11DeviceContext* context, abi::ID3D11Texture2D* texture)
      : context_(context), texture_(texture) {}
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() {
    if (mapped_) {
      context_->Unmap(texture_, 0);
    }
  }

  win::HRESULT map() {
    const win::HRESULT hr = context_->Map(texture_, 0, abi::D3D11_MAP_READ_WRITE, 0, &data_);
    mapped_ = win::succeeded(hr);
    return hr;
  }
  const abi::D3D11_MAPPED_SUBRESOURCE& data() const { return data_; }

 private:
  abi::ID3D11DeviceContext* context_;
  abi::ID3D11Texture2D* texture_;
  abi::D3D11_MAPPED_SUBRESOURCE data_{};
  bool mapped_ = false;
};

}  // namespace

std::string text_form(const FrameError& error) {
  switch (error.kind()) {
    case FrameError::Kind::WindowsError:
      return "Windows error during frame conversion";
    case FrameError::Kind::VectorConversionError:
      return "Conversion to vector failed.";
  }
  return {};
}

std::string debug_form(const FrameError& error) {
  switch (error.kind()) {
    case FrameError::Kind::WindowsError:
      return "WindowsError(" + debug_form(*error.windows_error()) + ")";
    case FrameError::Kind::VectorConversionError:
      return "VectorConversionError";
  }
  return {};
}

Result<FrameBytes, FrameError> materialize_frame(const capture::LatestFrame& frame) {
  const abi::D3D11_TEXTURE2D_DESC desc = staging_desc(frame);
  ComPtr<abi::ID3D11Texture2D> staging;
  const win::HRESULT created = frame.device->CreateTexture2D(&desc, nullptr, staging.put());
  if (win::failed(created)) {
    return Err(FrameError::windows_error(WindowsError::from_hresult(created)));
  }
  if (!staging) {
    fault("ID3D11Device::CreateTexture2D reported success without a staging texture");
  }
  frame.context->CopyResource(staging.get(), frame.texture.get());

  // Unmapped before the staging texture is released.
  Mapping mapping(frame.context.get(), staging.get());
  const win::HRESULT mapped = mapping.map();
  if (win::failed(mapped)) {
    return Err(FrameError::windows_error(WindowsError::from_hresult(mapped)));
  }
  // Sized in 64 bits: a 32-bit product would wrap for very large frames and
  // silently drop rows.
  FrameBytes bytes;
  bytes.size = std::size_t{frame.height} * std::size_t{mapping.data().RowPitch};
  bytes.data = std::make_unique_for_overwrite<std::uint8_t[]>(bytes.size);
  if (bytes.size != 0) {
    std::memcpy(bytes.data.get(), mapping.data().pData, bytes.size);
  }
  return bytes;
}

}  // namespace lumigrab::frame
