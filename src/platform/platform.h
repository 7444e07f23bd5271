// The platform layer: every call the module makes into the operating system.
//
// Each operation keeps the Windows name, arguments and results, so the logic
// above reads as it would against user32, kernel32 and the Windows Runtime.
// Exactly one backend implements these per build: `platform/windows` (the
// real calls) or `platform/simulated` (a scriptable desktop for tests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "platform/abi.h"
#include "platform/win_types.h"

namespace lumigrab::platform {

using namespace lumigrab::win;  // NOLINT(google-build-using-namespace)

// Which backend this build carries, for the README's and tests' benefit.
const char* backend_name() noexcept;
// Whether a capture shows the mouse pointer unless told otherwise.
bool cursor_captured_by_default() noexcept;

// Why the desktop cannot be reached now, or nothing while it can. Windows and
// the simulated desktop always have theirs; the X11 backend names the display
// it tried (or the library it could not load) and what to do about it. The
// display and window functions fail (or find nothing) for as long as it says
// something.
std::optional<std::string> desktop_unreachable();
// Why no window can be found on this desktop although it can be reached, or
// nothing where it lists its windows: everywhere but on a Wayland desktop
// without a window list.
std::optional<std::string> windows_unlisted();

// --- display (user32) ---
HMONITOR MonitorFromPoint(POINT point, DWORD flags);
BOOL EnumDisplayMonitors(HDC dc, const RECT* clip, MONITORENUMPROC callback, LPARAM data);
BOOL GetMonitorInfoW(HMONITOR monitor, MONITORINFOEXW* info);
BOOL EnumDisplaySettingsW(const WCHAR* device_name, DWORD mode_number, DEVMODEW* mode);
BOOL EnumDisplayDevicesW(const WCHAR* device, DWORD device_number, DISPLAY_DEVICEW* device_info,
                         DWORD flags);

// --- windows (user32) ---
HWND FindWindowW(const WCHAR* class_name, const WCHAR* window_name);
BOOL IsWindowVisible(HWND window);
DWORD GetWindowThreadProcessId(HWND window, DWORD* process_id);
BOOL GetClientRect(HWND window, RECT* rect);
BOOL ClientToScreen(HWND window, POINT* point);
// The calling thread's DPI awareness, which decides whether user32 answers in
// physical pixels or in pixels scaled for a DPI-unaware program. Returns the
// previous context, or null where the system has no such call or refuses
// `context`.
DPI_AWARENESS_CONTEXT SetThreadDpiAwarenessContext(DPI_AWARENESS_CONTEXT context);
LONG_PTR GetWindowLongPtrW(HWND window, int index);
int GetWindowTextLengthW(HWND window);
int GetWindowTextW(HWND window, WCHAR* buffer, int capacity);
HWND GetDesktopWindow();
BOOL EnumChildWindows(HWND parent, WNDENUMPROC callback, LPARAM data);
HWND GetForegroundWindow();

// --- thread messages (user32) and process/thread ids (kernel32) ---
BOOL PostThreadMessageW(DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam);
BOOL GetMessageW(MSG* msg, HWND window, UINT filter_min, UINT filter_max);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageW(const MSG* msg);
void PostQuitMessage(int exit_code);
DWORD GetCurrentThreadId();
DWORD GetCurrentProcessId();

// A number that changes in a child process made by fork(), and nowhere else:
// what a process started (threads, connections) is not the child's to use.
// Always 0 where processes do not fork.
std::uint64_t process_generation() noexcept;

// Whether a capture thread's failure text is this module's own, fit to follow
// the fixed message of a failed start. Windows' own texts are not: they are
// localised, and the messages a start gives there stay as they always were.
bool explains_capture_failures() noexcept;

// Starts an operating-system thread running `body`. Throws std::system_error
// when the system refuses to create it.
std::thread spawn_thread(std::function<void()> body);

// The current thread's name as the system knows it, or empty when unnamed.
std::string current_thread_name();

// Writes the current thread's native call stack to standard error, as far as
// the system can tell it.
void write_backtrace();

// The value of the environment variable `name` (ASCII), or nothing when it is
// not set. Characters outside ASCII come back as '?'.
std::optional<std::string> environment_variable(const char* name);

// --- error text (kernel32, oleaut32) ---
DWORD GetLastError();
// Returns the message for `message_id` with FORMAT_MESSAGE_ALLOCATE_BUFFER
// semantics: on success *buffer holds text that FreeFormatMessageBuffer frees.
DWORD FormatMessageW(DWORD flags, const void* source, DWORD message_id, DWORD language_id,
                     WCHAR** buffer);
// LocalFree(buffer) for a buffer from FormatMessageW, which allocates it with
// LocalAlloc.
void FreeFormatMessageBuffer(WCHAR* buffer);
HRESULT GetErrorInfo(ULONG reserved, abi::IErrorInfo** info);
HRESULT SetErrorInfo(ULONG reserved, abi::IErrorInfo* info);
void SysFreeString(BSTR string);
UINT SysStringLen(BSTR string);

// --- libraries (kernel32) ---
HMODULE LoadLibraryExA(const char* file_name, void* file, DWORD flags);
FARPROC GetProcAddress(HMODULE module, const char* name);
BOOL FreeLibrary(HMODULE module);

// --- runtime activation (combase, ole32) ---
HRESULT RoInitialize(std::int32_t init_type);
void RoUninitialize();
HRESULT WindowsCreateString(const WCHAR* source, UINT length, abi::HSTRING* string);
HRESULT WindowsDeleteString(abi::HSTRING string);
HRESULT RoGetActivationFactory(abi::HSTRING class_id, const GUID& iid, void** factory);
HRESULT CoIncrementMTAUsage(void** cookie);
using DllGetActivationFactoryProc = HRESULT(LUMIGRAB_STDCALL*)(abi::HSTRING class_id,
                                                               abi::IActivationFactory** factory);

// --- dispatcher queue (CoreMessaging) ---
HRESULT CreateDispatcherQueueController(abi::DispatcherQueueOptions options,
                                        abi::IDispatcherQueueController** controller);

// --- Direct3D 11 ---
HRESULT D3D11CreateDevice(void* adapter, std::int32_t driver_type, HMODULE software, UINT flags,
                          const abi::D3D_FEATURE_LEVEL* feature_levels, UINT feature_level_count,
                          UINT sdk_version, abi::ID3D11Device** device,
                          abi::D3D_FEATURE_LEVEL* obtained_level,
                          abi::ID3D11DeviceContext** immediate_context);
HRESULT CreateDirect3D11DeviceFromDXGIDevice(abi::IDXGIDevice* dxgi_device,
                                             abi::IInspectable** graphics_device);

// Copies `rows` rows of `width` pixels out of `staging`, mapped by Map at
// `mapped`, into `destination` as R, G, B, A, rows `destination_pitch` bytes
// apart. On Windows and the simulated desktop the mapped rows are R, G, B, A
// already and this is a plain copy. The X11 backend's mapped memory holds the
// pixels as the server sends them, once they have come: this waits for them
// and converts them on the way, and fails as Map would when they do not come.
// The Wayland backend converts straight from the compositor's buffer that was
// copied from, and fails as Map would once the compositor is gone.
HRESULT CopyMappedRows(abi::ID3D11Texture2D* staging, const abi::D3D11_MAPPED_SUBRESOURCE& mapped,
                       UINT rows, UINT width, std::uint8_t* destination,
                       std::size_t destination_pitch);

// CopyMappedRows where the mapped rows are R, G, B, A already: one block when
// neither side has row padding.
inline void copy_rows_unchanged(const abi::D3D11_MAPPED_SUBRESOURCE& mapped, UINT rows, UINT width,
                                std::uint8_t* destination, std::size_t destination_pitch) noexcept {
  const auto* source = static_cast<const std::uint8_t*>(mapped.pData);
  const std::size_t row_bytes = std::size_t{width} * 4;
  if (rows == 0 || row_bytes == 0) {
    return;
  }
  if (mapped.RowPitch == row_bytes && destination_pitch == row_bytes) {
    std::memcpy(destination, source, row_bytes * rows);
    return;
  }
  for (std::size_t y = 0; y < rows; ++y) {
    std::memcpy(destination + y * destination_pitch, source + y * mapped.RowPitch, row_bytes);
  }
}

}  // namespace lumigrab::platform
