// The Windows SDK headers behind the real backend, and the proof that the
// module's own declarations match them where both exist.
//
// Only the files of this directory include this header: everywhere else the
// module sees the system through platform.h and abi.h alone.
#pragma once

#include "platform/abi.h"
#include "platform/win_types.h"

namespace lumigrab::windows {
// Read before d3d11.h makes D3D11_SDK_VERSION a macro.
inline constexpr win::UINT kAbiSdkVersion = abi::D3D11_SDK_VERSION;
}  // namespace lumigrab::windows

#include <d3d11.h>
#include <dxgi.h>
#include <eventtoken.h>
#include <oleauto.h>
#include <roapi.h>
#include <winstring.h>

namespace lumigrab::windows {

// Our structures travel to the SDK's functions by reinterpret_cast, so their
// layouts must be the SDK's to the byte.
static_assert(sizeof(abi::D3D_FEATURE_LEVEL) == sizeof(::D3D_FEATURE_LEVEL));
static_assert(static_cast<int>(abi::D3D_FEATURE_LEVEL_11_1) ==
              static_cast<int>(::D3D_FEATURE_LEVEL_11_1));
static_assert(static_cast<int>(abi::D3D_FEATURE_LEVEL_9_1) ==
              static_cast<int>(::D3D_FEATURE_LEVEL_9_1));
static_assert(sizeof(abi::D3D11_TEXTURE2D_DESC) == sizeof(::D3D11_TEXTURE2D_DESC));
static_assert(offsetof(abi::D3D11_TEXTURE2D_DESC, Format) ==
              offsetof(::D3D11_TEXTURE2D_DESC, Format));
static_assert(offsetof(abi::D3D11_TEXTURE2D_DESC, Usage) ==
              offsetof(::D3D11_TEXTURE2D_DESC, Usage));
static_assert(offsetof(abi::D3D11_TEXTURE2D_DESC, MiscFlags) ==
              offsetof(::D3D11_TEXTURE2D_DESC, MiscFlags));
static_assert(sizeof(abi::D3D11_MAPPED_SUBRESOURCE) == sizeof(::D3D11_MAPPED_SUBRESOURCE));
static_assert(offsetof(abi::D3D11_MAPPED_SUBRESOURCE, RowPitch) ==
              offsetof(::D3D11_MAPPED_SUBRESOURCE, RowPitch));
static_assert(static_cast<int>(abi::DXGI_FORMAT_R8G8B8A8_UNORM) ==
              static_cast<int>(::DXGI_FORMAT_R8G8B8A8_UNORM));
static_assert(abi::D3D11_USAGE_STAGING == ::D3D11_USAGE_STAGING);
static_assert(abi::D3D11_CPU_ACCESS_READ == ::D3D11_CPU_ACCESS_READ);
static_assert(abi::D3D11_MAP_READ_WRITE == ::D3D11_MAP_READ_WRITE);
static_assert(abi::D3D11_CREATE_DEVICE_BGRA_SUPPORT == ::D3D11_CREATE_DEVICE_BGRA_SUPPORT);
static_assert(kAbiSdkVersion == D3D11_SDK_VERSION);
static_assert(abi::D3D_DRIVER_TYPE_HARDWARE == ::D3D_DRIVER_TYPE_HARDWARE);
static_assert(abi::DQTYPE_THREAD_CURRENT == 2 && abi::DQTAT_COM_NONE == 0);
static_assert(sizeof(abi::EventRegistrationToken) == sizeof(::EventRegistrationToken));
static_assert(sizeof(abi::HSTRING) == sizeof(::HSTRING));
static_assert(win::WM_QUIT_ == WM_QUIT);
static_assert(win::ENUM_CURRENT_SETTINGS_ == ENUM_CURRENT_SETTINGS);
static_assert(win::FORMAT_MESSAGE_ALLOCATE_BUFFER_ == FORMAT_MESSAGE_ALLOCATE_BUFFER);
static_assert(win::FORMAT_MESSAGE_IGNORE_INSERTS_ == FORMAT_MESSAGE_IGNORE_INSERTS);
static_assert(win::FORMAT_MESSAGE_FROM_HMODULE_ == FORMAT_MESSAGE_FROM_HMODULE);
static_assert(win::FORMAT_MESSAGE_FROM_SYSTEM_ == FORMAT_MESSAGE_FROM_SYSTEM);
static_assert(win::LOAD_LIBRARY_SEARCH_DEFAULT_DIRS_ == LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
static_assert(win::LOAD_LIBRARY_SEARCH_SYSTEM32_ == LOAD_LIBRARY_SEARCH_SYSTEM32);
static_assert(win::GWL_STYLE_ == GWL_STYLE && win::GWL_EXSTYLE_ == GWL_EXSTYLE);
static_assert(win::WS_CHILD_ == WS_CHILD && win::WS_EX_TOOLWINDOW_ == WS_EX_TOOLWINDOW);
static_assert(win::ERROR_INVALID_THREAD_ID_ == ERROR_INVALID_THREAD_ID);

// HRESULT_FROM_WIN32, without the SDK macro's C-style casts.
constexpr win::HRESULT hresult_from_win32(win::DWORD error) noexcept {
  const auto value = static_cast<std::int32_t>(error);
  if (value <= 0) {
    return value;
  }
  return static_cast<win::HRESULT>((error & 0xFFFFU) | 0x80070000U);
}

}  // namespace lumigrab::windows
