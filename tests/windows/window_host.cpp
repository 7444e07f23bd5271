// Opens top-level windows of known titles in a process of its own, so that
// the window tests see windows of another process, as the module's users do.
//
//   lumigrab_window_host.exe READY_EVENT QUIT_EVENT
//
// Sets the named event READY_EVENT once every window exists and the plain one
// is in the foreground, and exits when QUIT_EVENT is set. The windows are
// served all the while, so that WM_CLOSE from the tests closes one.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <cstdio>
#include <windows.h>

#include "host_titles.h"

namespace {

namespace host = lumigrab::test::host;

constexpr const wchar_t* kClassName = L"lumigrab_window_host";

// Owns a handle from OpenEventW.
class EventHandle {
 public:
  explicit EventHandle(const wchar_t* name)
      : handle_(::OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name)) {}
  EventHandle(const EventHandle&) = delete;
  EventHandle& operator=(const EventHandle&) = delete;
  ~EventHandle() {
    if (handle_ != nullptr) {
      ::CloseHandle(handle_);
    }
  }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

HWND open_window(const wchar_t* title, DWORD style, DWORD extended_style, HWND parent, int x) {
  return ::CreateWindowExW(extended_style, kClassName, title, style, x, 40, 200, 120, parent,
                           nullptr, ::GetModuleHandleW(nullptr), nullptr);
}

bool register_class() {
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = ::DefWindowProcW;
  window_class.hInstance = ::GetModuleHandleW(nullptr);
  window_class.lpszClassName = kClassName;
  return ::RegisterClassExW(&window_class) != 0;
}

// Serves the windows until `quit` is set.
void serve_until(HANDLE quit) {
  for (;;) {
    const HANDLE handles[] = {quit};
    const DWORD woken = ::MsgWaitForMultipleObjects(1, handles, FALSE, INFINITE, QS_ALLINPUT);
    if (woken != WAIT_OBJECT_0 + 1) {
      return;
    }
    MSG msg{};
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE) != FALSE) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fputs("usage: lumigrab_window_host READY_EVENT QUIT_EVENT\n", stderr);
    return 2;
  }
  const EventHandle ready(argv[1]);
  const EventHandle quit(argv[2]);
  if (ready.get() == nullptr || quit.get() == nullptr || !register_class()) {
    std::fprintf(stderr, "window host: setup failed with error %lu\n", ::GetLastError());
    return 1;
  }
  constexpr DWORD kShown = WS_OVERLAPPEDWINDOW | WS_VISIBLE;
  const HWND plain = open_window(host::kPlain, kShown, 0, nullptr, 0);
  const HWND windows[] = {
      plain,
      open_window(host::kAscii, kShown, 0, nullptr, 220),
      open_window(host::kTool, kShown, WS_EX_TOOLWINDOW, nullptr, 440),
      open_window(host::kHidden, WS_OVERLAPPEDWINDOW, 0, nullptr, 660),
      open_window(host::kChild, WS_CHILD | WS_VISIBLE, 0, plain, 10),
      open_window(host::kClosing, kShown, 0, nullptr, 880),
  };
  for (const HWND window : windows) {
    if (window == nullptr) {
      std::fprintf(stderr, "window host: CreateWindowExW failed with error %lu\n",
                   ::GetLastError());
      return 1;
    }
  }
  ::SetForegroundWindow(plain);
  ::SetEvent(ready.get());
  serve_until(quit.get());
  return 0;
}
