// The platform operations of the Linux build, which carries two desktops:
// X11 (namespace `with_x11`) and Wayland (namespace `with_wayland`). The
// operations of `lumigrab::platform` forward to one of them, chosen once when
// the desktop is first needed (dispatch.cpp).
//
// Each line gives the result type, the name, the parameters, the arguments
// and what follows the parameter list. To add an operation that the two
// desktops do differently, add it to LUMIGRAB_DESKTOP_OPERATIONS and define it
// in both namespaces; one that the POSIX core does alike for both (defined
// once, in the x11 backend's files) goes in LUMIGRAB_SHARED_OPERATIONS.
#pragma once

#include "platform/platform.h"

namespace lumigrab::platform::with_wayland {
// Where the Wayland desktop lists no windows, why none can be found.
std::optional<std::string> windows_unlisted();
}  // namespace lumigrab::platform::with_wayland

// NOLINTBEGIN(cppcoreguidelines-macro-usage)
#define LUMIGRAB_DESKTOP_OPERATIONS(X)                                                            \
  X(const char*, backend_name, (), (), noexcept)                                                  \
  X(bool, cursor_captured_by_default, (), (), noexcept)                                           \
  X(std::optional<std::string>, desktop_unreachable, (), (), )                                    \
  X(HMONITOR, MonitorFromPoint, (POINT point, DWORD flags), (point, flags), )                     \
  X(BOOL, EnumDisplayMonitors, (HDC dc, const RECT* clip, MONITORENUMPROC callback, LPARAM data), \
    (dc, clip, callback, data), )                                                                 \
  X(BOOL, GetMonitorInfoW, (HMONITOR monitor, MONITORINFOEXW * info), (monitor, info), )          \
  X(BOOL, EnumDisplaySettingsW, (const WCHAR* device_name, DWORD mode_number, DEVMODEW* mode),    \
    (device_name, mode_number, mode), )                                                           \
  X(BOOL, EnumDisplayDevicesW,                                                                    \
    (const WCHAR* device, DWORD device_number, DISPLAY_DEVICEW* device_info, DWORD flags),        \
    (device, device_number, device_info, flags), )                                                \
  X(HWND, FindWindowW, (const WCHAR* class_name, const WCHAR* window_name),                       \
    (class_name, window_name), )                                                                  \
  X(BOOL, IsWindowVisible, (HWND window), (window), )                                             \
  X(DWORD, GetWindowThreadProcessId, (HWND window, DWORD * process_id), (window, process_id), )   \
  X(BOOL, GetClientRect, (HWND window, RECT * rect), (window, rect), )                            \
  X(BOOL, ClientToScreen, (HWND window, POINT * point), (window, point), )                        \
  X(DPI_AWARENESS_CONTEXT, SetThreadDpiAwarenessContext, (DPI_AWARENESS_CONTEXT context),         \
    (context), )                                                                                  \
  X(LONG_PTR, GetWindowLongPtrW, (HWND window, int index), (window, index), )                     \
  X(int, GetWindowTextLengthW, (HWND window), (window), )                                         \
  X(int, GetWindowTextW, (HWND window, WCHAR * buffer, int capacity),                             \
    (window, buffer, capacity), )                                                                 \
  X(HWND, GetDesktopWindow, (), (), )                                                             \
  X(BOOL, EnumChildWindows, (HWND parent, WNDENUMPROC callback, LPARAM data),                     \
    (parent, callback, data), )                                                                   \
  X(HWND, GetForegroundWindow, (), (), )                                                          \
  X(HRESULT, RoGetActivationFactory, (abi::HSTRING class_id, const GUID& iid, void** factory),    \
    (class_id, iid, factory), )                                                                   \
  X(HRESULT, D3D11CreateDevice,                                                                   \
    (void* adapter, std::int32_t driver_type, HMODULE software, UINT flags,                       \
     const abi::D3D_FEATURE_LEVEL* feature_levels, UINT feature_level_count, UINT sdk_version,    \
     abi::ID3D11Device** device, abi::D3D_FEATURE_LEVEL* obtained_level,                          \
     abi::ID3D11DeviceContext** immediate_context),                                               \
    (adapter, driver_type, software, flags, feature_levels, feature_level_count, sdk_version,     \
     device, obtained_level, immediate_context), )                                                \
  X(HRESULT, CreateDirect3D11DeviceFromDXGIDevice,                                                \
    (abi::IDXGIDevice * dxgi_device, abi::IInspectable * *graphics_device),                       \
    (dxgi_device, graphics_device), )                                                             \
  X(HRESULT, CopyMappedRows,                                                                      \
    (abi::ID3D11Texture2D * staging, const abi::D3D11_MAPPED_SUBRESOURCE& mapped, UINT rows,      \
     UINT width, std::uint8_t* destination, std::size_t destination_pitch),                       \
    (staging, mapped, rows, width, destination, destination_pitch), )

#define LUMIGRAB_SHARED_OPERATIONS(X)                                                        \
  X(BOOL, PostThreadMessageW, (DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam), \
    (thread_id, message, wparam, lparam), )                                                  \
  X(BOOL, GetMessageW, (MSG * msg, HWND window, UINT filter_min, UINT filter_max),           \
    (msg, window, filter_min, filter_max), )                                                 \
  X(BOOL, TranslateMessage, (const MSG* msg), (msg), )                                       \
  X(LRESULT, DispatchMessageW, (const MSG* msg), (msg), )                                    \
  X(void, PostQuitMessage, (int exit_code), (exit_code), )                                   \
  X(DWORD, GetCurrentThreadId, (), (), )                                                     \
  X(DWORD, GetCurrentProcessId, (), (), )                                                    \
  X(std::thread, spawn_thread, (std::function<void()> body), (std::move(body)), )            \
  X(std::string, current_thread_name, (), (), )                                              \
  X(void, write_backtrace, (), (), )                                                         \
  X(std::optional<std::string>, environment_variable, (const char* name), (name), )          \
  X(DWORD, GetLastError, (), (), )                                                           \
  X(DWORD, FormatMessageW,                                                                   \
    (DWORD flags, const void* source, DWORD message_id, DWORD language_id, WCHAR** buffer),  \
    (flags, source, message_id, language_id, buffer), )                                      \
  X(void, FreeFormatMessageBuffer, (WCHAR * buffer), (buffer), )                             \
  X(HRESULT, GetErrorInfo, (ULONG reserved, abi::IErrorInfo * *info), (reserved, info), )    \
  X(HRESULT, SetErrorInfo, (ULONG reserved, abi::IErrorInfo * info), (reserved, info), )     \
  X(void, SysFreeString, (BSTR string), (string), )                                          \
  X(UINT, SysStringLen, (BSTR string), (string), )                                           \
  X(HMODULE, LoadLibraryExA, (const char* file_name, void* file, DWORD flags),               \
    (file_name, file, flags), )                                                              \
  X(FARPROC, GetProcAddress, (HMODULE module, const char* name), (module, name), )           \
  X(BOOL, FreeLibrary, (HMODULE module), (module), )                                         \
  X(HRESULT, RoInitialize, (std::int32_t init_type), (init_type), )                          \
  X(void, RoUninitialize, (), (), )                                                          \
  X(HRESULT, WindowsCreateString, (const WCHAR* source, UINT length, abi::HSTRING* string),  \
    (source, length, string), )                                                              \
  X(HRESULT, WindowsDeleteString, (abi::HSTRING string), (string), )                         \
  X(HRESULT, CoIncrementMTAUsage, (void** cookie), (cookie), )                               \
  X(HRESULT, CreateDispatcherQueueController,                                                \
    (abi::DispatcherQueueOptions options, abi::IDispatcherQueueController * *controller),    \
    (options, controller), )
// NOLINTEND(cppcoreguidelines-macro-usage)

namespace lumigrab::platform {

#define LUMIGRAB_DECLARE_OPERATION(result, name, parameters, arguments, qualifiers) \
  result name parameters qualifiers;

namespace with_x11 {
LUMIGRAB_DESKTOP_OPERATIONS(LUMIGRAB_DECLARE_OPERATION)
LUMIGRAB_SHARED_OPERATIONS(LUMIGRAB_DECLARE_OPERATION)
}  // namespace with_x11

namespace with_wayland {
LUMIGRAB_DESKTOP_OPERATIONS(LUMIGRAB_DECLARE_OPERATION)
}  // namespace with_wayland

#undef LUMIGRAB_DECLARE_OPERATION

}  // namespace lumigrab::platform
