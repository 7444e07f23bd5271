// Windows as user32 reports them, made from the compositor's window list
// (wlr-foreign-toplevel-management), where it offers one.
//
// The list gives each top-level window's title and state, and nothing of its
// geometry or its owner: a window's client area reads as empty, at the
// desktop origin, and its process id as 0. A compositor without the list (as
// GNOME's) has no windows to give: enumerations fail with a message that
// says so, and no window is found.
#include <algorithm>

#include "platform/linux/operations.h"
#include "platform/posix/errors.h"
#include "platform/posix/messages.h"
#include "platform/wayland/wayland_internal.h"

namespace lumigrab::wayland {
namespace {

constexpr DWORD kErrorInvalidWindowHandle = 1400;
constexpr DWORD kErrorInvalidIndex = 1413;
constexpr DWORD kErrorNotSupported = 50;
// The same as the HRESULT that error texts are looked up by.
constexpr DWORD kNotSupportedResult = 0x80070000U | kErrorNotSupported;
constexpr LONG_PTR kVisibleStyle = 0x10000000;  // WS_VISIBLE
// The desktop window, parent of the top-level ones; no top-level window has
// this number.
const HWND kDesktop = reinterpret_cast<HWND>(std::uintptr_t{2});

constexpr char16_t kNoWindowList[] =
    u"This Wayland desktop offers no window list (wlr-foreign-toplevel-management), so its "
    u"windows cannot be listed or found; monitors can still be captured.";
// The same, said after the text of a window that was not found.
constexpr char kNoWindowListReason[] =
    "this Wayland desktop offers no window list (wlr-foreign-toplevel-management), so its "
    "windows cannot be listed or found; monitors can still be captured";

HWND handle_of(const ToplevelRecord& t) {
  return reinterpret_cast<HWND>(t.id);
}

// The windows now, or nothing where there is no compositor or no list (with
// the last error saying which).
std::optional<std::vector<ToplevelRecord>> list_toplevels() {
  const std::shared_ptr<Connection> c = shared_connection();
  if (!c) {
    posix::set_last_error(kErrorDeviceNotConnected);
    return std::nullopt;
  }
  const std::lock_guard lock(c->use_mutex());
  if (!c->window_list()) {
    // ERROR_NOT_SUPPORTED, with this desktop's own words for it.
    static const bool worded = [] {
      posix::set_system_message(kNotSupportedResult, std::u16string(kNoWindowList), false);
      return true;
    }();
    (void)worded;
    posix::set_last_error(kErrorNotSupported);
    return std::nullopt;
  }
  auto listed = c->toplevels();
  if (!listed) {
    posix::set_last_error(kErrorDeviceNotConnected);
  }
  return listed;
}

std::optional<ToplevelRecord> find_toplevel(HWND window) {
  if (const auto listed = list_toplevels()) {
    for (const ToplevelRecord& t : *listed) {
      if (handle_of(t) == window) {
        return t;
      }
    }
  }
  posix::set_last_error(kErrorInvalidWindowHandle);
  return std::nullopt;
}

std::u16string_view terminated(const WCHAR* text) {
  return text == nullptr ? std::u16string_view() : std::u16string_view(text);
}

}  // namespace
}  // namespace lumigrab::wayland

namespace lumigrab::platform::with_wayland {

namespace wayland = lumigrab::wayland;

std::optional<std::string> windows_unlisted() {
  const std::shared_ptr<wayland::Connection> c = wayland::shared_connection();
  if (!c) {
    return std::nullopt;  // the desktop is unreachable, which is said instead
  }
  const std::lock_guard lock(c->use_mutex());
  if (c->window_list()) {
    return std::nullopt;
  }
  return std::string(wayland::kNoWindowListReason);
}

HWND FindWindowW(const WCHAR* class_name, const WCHAR* window_name) {
  if (class_name != nullptr) {
    return nullptr;  // Wayland windows belong to no class a caller could name
  }
  const auto listed = wayland::list_toplevels();
  if (!listed) {
    return nullptr;
  }
  const std::u16string_view wanted = wayland::terminated(window_name);
  for (const wayland::ToplevelRecord& t : *listed) {
    if (window_name == nullptr || wayland::utf16_from_utf8(t.title) == wanted) {
      return wayland::handle_of(t);
    }
  }
  return nullptr;
}

// A minimised window stays visible, as on Windows.
BOOL IsWindowVisible(HWND window) {
  return wayland::find_toplevel(window) ? 1 : 0;
}

// The list does not say which process a window belongs to.
DWORD GetWindowThreadProcessId(HWND window, DWORD* process_id) {
  const auto found = wayland::find_toplevel(window);
  if (process_id != nullptr) {
    *process_id = 0;
  }
  return found ? static_cast<DWORD>(found->id) : 0;
}

BOOL GetClientRect(HWND window, RECT* rect) {
  if (!wayland::find_toplevel(window)) {
    return 0;
  }
  if (rect == nullptr) {
    posix::set_last_error(posix::kErrorInvalidParameter);
    return 0;
  }
  *rect = {0, 0, 0, 0};
  return 1;
}

BOOL ClientToScreen(HWND window, POINT* point) {
  if (!wayland::find_toplevel(window)) {
    return 0;
  }
  if (point == nullptr) {
    posix::set_last_error(posix::kErrorInvalidParameter);
    return 0;
  }
  return 1;
}

DPI_AWARENESS_CONTEXT SetThreadDpiAwarenessContext(DPI_AWARENESS_CONTEXT context) {
  // Nothing is scaled for a program here either.
  return with_x11::SetThreadDpiAwarenessContext(context);
}

LONG_PTR GetWindowLongPtrW(HWND window, int index) {
  if (!wayland::find_toplevel(window)) {
    return 0;
  }
  if (index == GWL_STYLE_) {
    return wayland::kVisibleStyle;
  }
  if (index == GWL_EXSTYLE_) {
    return 0;
  }
  posix::set_last_error(wayland::kErrorInvalidIndex);
  return 0;
}

int GetWindowTextLengthW(HWND window) {
  const auto found = wayland::find_toplevel(window);
  return found ? static_cast<int>(wayland::utf16_from_utf8(found->title).size()) : 0;
}

int GetWindowTextW(HWND window, WCHAR* buffer, int capacity) {
  const auto found = wayland::find_toplevel(window);
  if (!found || buffer == nullptr || capacity <= 0) {
    return 0;
  }
  const std::u16string title = wayland::utf16_from_utf8(found->title);
  const std::size_t count = std::min(title.size(), static_cast<std::size_t>(capacity) - 1);
  std::copy_n(title.begin(), count, buffer);
  buffer[count] = 0;
  return static_cast<int>(count);
}

HWND GetDesktopWindow() {
  return wayland::kDesktop;
}

BOOL EnumChildWindows(HWND parent, WNDENUMPROC callback, LPARAM data) {
  if (callback == nullptr) {
    posix::set_last_error(posix::kErrorInvalidParameter);
    return 0;
  }
  const auto listed = wayland::list_toplevels();
  if (!listed) {
    return 0;
  }
  if (parent != nullptr && parent != wayland::kDesktop) {
    // Top-level windows have no children that the list shows.
    if (std::none_of(listed->begin(), listed->end(),
                     [parent](const auto& t) { return wayland::handle_of(t) == parent; })) {
      posix::set_last_error(wayland::kErrorInvalidWindowHandle);
      return 0;
    }
    return 1;
  }
  for (const wayland::ToplevelRecord& t : *listed) {
    if (callback(wayland::handle_of(t), data) == 0) {
      return 0;
    }
  }
  return 1;
}

HWND GetForegroundWindow() {
  const auto listed = wayland::list_toplevels();
  if (!listed) {
    return nullptr;
  }
  for (const wayland::ToplevelRecord& t : *listed) {
    if (t.activated) {
      return wayland::handle_of(t);
    }
  }
  return nullptr;
}

}  // namespace lumigrab::platform::with_wayland
