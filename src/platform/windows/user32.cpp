// Monitors, windows and thread messages: user32, called as they are.
#include "platform/platform.h"
#include "platform/windows/sdk.h"
#include "platform/windows/system_export.h"

namespace lumigrab::platform {

HMONITOR MonitorFromPoint(POINT point, DWORD flags) {
  return ::MonitorFromPoint(point, flags);
}

BOOL EnumDisplayMonitors(HDC dc, const RECT* clip, MONITORENUMPROC callback, LPARAM data) {
  return ::EnumDisplayMonitors(dc, clip, callback, data);
}

BOOL GetMonitorInfoW(HMONITOR monitor, MONITORINFOEXW* info) {
  // cbSize tells the system that the extended structure, with szDevice, is there.
  return ::GetMonitorInfoW(monitor, static_cast<MONITORINFO*>(info));
}

BOOL EnumDisplaySettingsW(const WCHAR* device_name, DWORD mode_number, DEVMODEW* mode) {
  return ::EnumDisplaySettingsW(device_name, mode_number, mode);
}

BOOL EnumDisplayDevicesW(const WCHAR* device, DWORD device_number, DISPLAY_DEVICEW* device_info,
                         DWORD flags) {
  return ::EnumDisplayDevicesW(device, device_number, device_info, flags);
}

HWND FindWindowW(const WCHAR* class_name, const WCHAR* window_name) {
  return ::FindWindowW(class_name, window_name);
}

BOOL IsWindowVisible(HWND window) {
  return ::IsWindowVisible(window);
}

DWORD GetWindowThreadProcessId(HWND window, DWORD* process_id) {
  return ::GetWindowThreadProcessId(window, process_id);
}

BOOL GetClientRect(HWND window, RECT* rect) {
  return ::GetClientRect(window, rect);
}

BOOL ClientToScreen(HWND window, POINT* point) {
  return ::ClientToScreen(window, point);
}

DPI_AWARENESS_CONTEXT SetThreadDpiAwarenessContext(DPI_AWARENESS_CONTEXT context) {
  // Windows 10 1607 and later.
  using Proc = DPI_AWARENESS_CONTEXT(WINAPI*)(DPI_AWARENESS_CONTEXT);
  static const windows::SystemExport set_context(L"user32.dll", "SetThreadDpiAwarenessContext");
  const auto set = set_context.get<Proc>();
  return set == nullptr ? nullptr : set(context);
}

LONG_PTR GetWindowLongPtrW(HWND window, int index) {
  return ::GetWindowLongPtrW(window, index);
}

int GetWindowTextLengthW(HWND window) {
  return ::GetWindowTextLengthW(window);
}

int GetWindowTextW(HWND window, WCHAR* buffer, int capacity) {
  return ::GetWindowTextW(window, buffer, capacity);
}

HWND GetDesktopWindow() {
  return ::GetDesktopWindow();
}

BOOL EnumChildWindows(HWND parent, WNDENUMPROC callback, LPARAM data) {
  return ::EnumChildWindows(parent, callback, data);
}

HWND GetForegroundWindow() {
  return ::GetForegroundWindow();
}

BOOL PostThreadMessageW(DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam) {
  return ::PostThreadMessageW(thread_id, message, wparam, lparam);
}

BOOL GetMessageW(MSG* msg, HWND window, UINT filter_min, UINT filter_max) {
  return ::GetMessageW(msg, window, filter_min, filter_max);
}

BOOL TranslateMessage(const MSG* msg) {
  return ::TranslateMessage(msg);
}

LRESULT DispatchMessageW(const MSG* msg) {
  return ::DispatchMessageW(msg);
}

void PostQuitMessage(int exit_code) {
  ::PostQuitMessage(exit_code);
}

}  // namespace lumigrab::platform
