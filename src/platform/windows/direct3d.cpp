// Direct3D 11 devices and their Windows Runtime wrapper (d3d11).
#include "platform/platform.h"
#include "platform/windows/sdk.h"
#include "platform/windows/system_export.h"

namespace lumigrab::platform {

HRESULT D3D11CreateDevice(void* adapter, std::int32_t driver_type, HMODULE software, UINT flags,
                          const abi::D3D_FEATURE_LEVEL* feature_levels, UINT feature_level_count,
                          UINT sdk_version, abi::ID3D11Device** device,
                          abi::D3D_FEATURE_LEVEL* obtained_level,
                          abi::ID3D11DeviceContext** immediate_context) {
  return ::D3D11CreateDevice(
      static_cast<IDXGIAdapter*>(adapter), static_cast<D3D_DRIVER_TYPE>(driver_type), software,
      flags, reinterpret_cast<const ::D3D_FEATURE_LEVEL*>(feature_levels), feature_level_count,
      sdk_version, reinterpret_cast<::ID3D11Device**>(device),
      reinterpret_cast<::D3D_FEATURE_LEVEL*>(obtained_level),
      reinterpret_cast<::ID3D11DeviceContext**>(immediate_context));
}

HRESULT CreateDirect3D11DeviceFromDXGIDevice(abi::IDXGIDevice* dxgi_device,
                                             abi::IInspectable** graphics_device) {
  // Exported by d3d11.dll from Windows 10 on; the SDK headers of mingw-w64 have
  // no prototype, and a load-time import would keep the module from loading on
  // older systems.
  using CreateProc =
      HRESULT(WINAPI*)(abi::IDXGIDevice * dxgi_device, abi::IInspectable * *graphics_device);
  static const windows::SystemExport create(L"d3d11.dll", "CreateDirect3D11DeviceFromDXGIDevice");
  const auto call = create.get<CreateProc>();
  if (call == nullptr) {
    return create.error();
  }
  return call(dxgi_device, graphics_device);
}

HRESULT CopyMappedRows(abi::ID3D11Texture2D* /*staging*/,
                       const abi::D3D11_MAPPED_SUBRESOURCE& mapped, UINT rows, UINT width,
                       std::uint8_t* destination, std::size_t destination_pitch) {
  copy_rows_unchanged(mapped, rows, width, destination, destination_pitch);
  return win::S_OK_;
}

}  // namespace lumigrab::platform
