#include "direct_x/device.h"

#include <array>

#include "platform/platform.h"

namespace lumigrab::direct_x {
namespace {

// Offered from the highest down; the capture needs 11_1 all the same.
constexpr std::array<abi::D3D_FEATURE_LEVEL, 7> kFeatureLevels{
    abi::D3D_FEATURE_LEVEL_11_1, abi::D3D_FEATURE_LEVEL_11_0, abi::D3D_FEATURE_LEVEL_10_1,
    abi::D3D_FEATURE_LEVEL_10_0, abi::D3D_FEATURE_LEVEL_9_3,  abi::D3D_FEATURE_LEVEL_9_2,
    abi::D3D_FEATURE_LEVEL_9_1,
};

Err<DeviceCreationError> windows_failure(WindowsError error) {
  return Err(DeviceCreationError::windows_error(std::move(error)));
}

}  // namespace

std::string debug_form(const DeviceCreationError& error) {
  switch (error.kind()) {
    case DeviceCreationError::Kind::FeatureLevelError: return "FeatureLevelError";
    case DeviceCreationError::Kind::WindowsError:
      return "WindowsError(" + debug_form(*error.windows_error()) + ")";
  }
  return {};
}

Result<D3DDevice, DeviceCreationError> create_d3d_device() {
  D3DDevice result;
  abi::D3D_FEATURE_LEVEL obtained{};
  const win::HRESULT hr = platform::D3D11CreateDevice(
      nullptr, abi::D3D_DRIVER_TYPE_HARDWARE, nullptr, abi::D3D11_CREATE_DEVICE_BGRA_SUPPORT,
      kFeatureLevels.data(), static_cast<win::UINT>(kFeatureLevels.size()), abi::D3D11_SDK_VERSION,
      result.device.put(), &obtained, result.context.put());
  if (win::failed(hr)) {
    return windows_failure(WindowsError::from_hresult(hr));
  }
  if (obtained != abi::D3D_FEATURE_LEVEL_11_1) {
    return Err(DeviceCreationError::feature_level());
  }
  if (!result.device || !result.context) {
    fault("D3D11CreateDevice reported success without a device and its immediate context");
  }
  // The capture runtime uses the immediate context on the capture thread
  // while read-backs use it on another: the context's own lock goes on at
  // once, before anyone else has the device.
  // Older systems answer the same interface (as ID3D10Multithread) on the
  // device only.
  ComPtr<abi::ID3D11Multithread> multithread;
  if (win::failed(
          result.context->QueryInterface(abi::IID_ID3D11Multithread, multithread.put_void())) ||
      !multithread) {
    if (win::failed(
            result.device->QueryInterface(abi::IID_ID3D11Multithread, multithread.put_void())) ||
        !multithread) {
      return windows_failure(WindowsError::no_interface());
    }
  }
  multithread->SetMultithreadProtected(1);
  return result;
}

Result<ComPtr<abi::IDirect3DDevice>, DeviceCreationError> create_direct3d_device(
    abi::ID3D11Device* device) {
  ComPtr<abi::IInspectable> inspectable;
  {
    ComPtr<abi::IDXGIDevice> dxgi_device;
    if (win::failed(device->QueryInterface(abi::IID_IDXGIDevice, dxgi_device.put_void())) ||
        !dxgi_device) {
      return windows_failure(WindowsError::no_interface());
    }
    const win::HRESULT hr =
        platform::CreateDirect3D11DeviceFromDXGIDevice(dxgi_device.get(), inspectable.put());
    if (win::failed(hr)) {
      return windows_failure(WindowsError::from_hresult(hr));
    }
  }
  if (!inspectable) {
    return windows_failure(WindowsError::missing_result());
  }
  ComPtr<abi::IDirect3DDevice> direct3d_device;
  if (win::failed(
          inspectable->QueryInterface(abi::IID_IDirect3DDevice, direct3d_device.put_void())) ||
      !direct3d_device) {
    return windows_failure(WindowsError::no_interface());
  }
  return direct3d_device;
}

}  // namespace lumigrab::direct_x
