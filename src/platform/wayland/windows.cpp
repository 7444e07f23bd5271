// Windows as user32 reports them. Not yet known on Wayland: no window is
// found, and enumerations find none.
#include "platform/linux/operations.h"
#include "platform/posix/messages.h"
#include "platform/wayland/wayland_internal.h"

namespace lumigrab::platform::with_wayland {

namespace {
constexpr DWORD kErrorInvalidWindowHandle = 1400;
}  // namespace

HWND FindWindowW(const WCHAR* /*class_name*/, const WCHAR* /*window_name*/) {
  return nullptr;
}
BOOL IsWindowVisible(HWND /*window*/) {
  return 0;
}
DWORD GetWindowThreadProcessId(HWND /*window*/, DWORD* /*process_id*/) {
  posix::set_last_error(kErrorInvalidWindowHandle);
  return 0;
}
BOOL GetClientRect(HWND /*window*/, RECT* /*rect*/) {
  posix::set_last_error(kErrorInvalidWindowHandle);
  return 0;
}
BOOL ClientToScreen(HWND /*window*/, POINT* /*point*/) {
  posix::set_last_error(kErrorInvalidWindowHandle);
  return 0;
}
DPI_AWARENESS_CONTEXT SetThreadDpiAwarenessContext(DPI_AWARENESS_CONTEXT context) {
  return with_x11::SetThreadDpiAwarenessContext(context);
}
LONG_PTR GetWindowLongPtrW(HWND /*window*/, int /*index*/) {
  posix::set_last_error(kErrorInvalidWindowHandle);
  return 0;
}
int GetWindowTextLengthW(HWND /*window*/) {
  posix::set_last_error(kErrorInvalidWindowHandle);
  return 0;
}
int GetWindowTextW(HWND /*window*/, WCHAR* /*buffer*/, int /*capacity*/) {
  posix::set_last_error(kErrorInvalidWindowHandle);
  return 0;
}
HWND GetDesktopWindow() {
  return nullptr;
}
BOOL EnumChildWindows(HWND /*parent*/, WNDENUMPROC callback, LPARAM /*data*/) {
  if (callback == nullptr) {
    posix::set_last_error(posix::kErrorInvalidParameter);
    return 0;
  }
  return 1;
}
HWND GetForegroundWindow() {
  return nullptr;
}

}  // namespace lumigrab::platform::with_wayland
