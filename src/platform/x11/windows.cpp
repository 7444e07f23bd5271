// Top-level windows as user32 reports them, made from X windows.
//
// A window handle is the X id of the client's own window (inside the frame a
// window manager may wrap it in). The top-level windows are the manager's
// client list where a manager runs; otherwise the mapped children of the root
// that are not override-redirect, top of the stack first as Windows lists
// them, each replaced by the window inside it that carries WM_STATE.
#include <algorithm>
#include <cstring>
#include <deque>
#include <unistd.h>
#include <utility>

#include "platform/platform.h"
#include "platform/posix/messages.h"
#include "platform/x11/x11_internal.h"

namespace lumigrab::x11 {
namespace {

constexpr DWORD kErrorInvalidWindowHandle = 1400;
constexpr DWORD kErrorInvalidIndex = 1413;
constexpr LONG_PTR kVisibleStyle = 0x10000000;  // WS_VISIBLE
// How deep a frame may nest the client it wraps.
constexpr int kFrameDepth = 4;

std::optional<xcb_get_window_attributes_reply_t> attributes(const Connection& c,
                                                            xcb_window_t window) {
  auto got = reply(c, xcb_get_window_attributes(c.get(), window), xcb_get_window_attributes_reply);
  if (!got) {
    return std::nullopt;
  }
  return *got;
}

std::vector<xcb_window_t> children_of(const Connection& c, xcb_window_t window,
                                      xcb_window_t* parent = nullptr) {
  auto tree = reply(c, xcb_query_tree(c.get(), window), xcb_query_tree_reply);
  if (!tree) {
    return {};
  }
  if (parent != nullptr) {
    *parent = tree->parent;
  }
  const xcb_window_t* children = xcb_query_tree_children(tree.get());
  return {children, children + xcb_query_tree_children_length(tree.get())};
}

bool has_wm_state(const Connection& c, xcb_window_t window) {
  return get_property(c, window, c.atom(Atom::WmState)).exists;
}

// The window inside `frame` (or `frame` itself) that carries WM_STATE,
// searched breadth-first; `frame` when none does.
xcb_window_t client_of(const Connection& c, xcb_window_t frame) {
  std::deque<std::pair<xcb_window_t, int>> pending{{frame, 0}};
  while (!pending.empty()) {
    const auto [window, depth] = pending.front();
    pending.pop_front();
    if (has_wm_state(c, window)) {
      return window;
    }
    if (depth < kFrameDepth) {
      for (const xcb_window_t child : children_of(c, window)) {
        pending.emplace_back(child, depth + 1);
      }
    }
  }
  return frame;
}

// The manager's check window, when a manager runs: it names itself in its own
// _NET_SUPPORTING_WM_CHECK. A killed manager leaves the root's property
// behind, pointing at a window that is gone.
bool window_manager_alive(const Connection& c) {
  const std::vector<std::uint32_t> check =
      get_property(c, c.root(), c.atom(Atom::NetSupportingWmCheck), XCB_ATOM_WINDOW).words();
  if (check.empty() || check.front() == XCB_NONE) {
    return false;
  }
  const std::vector<std::uint32_t> own =
      get_property(c, check.front(), c.atom(Atom::NetSupportingWmCheck), XCB_ATOM_WINDOW).words();
  return !own.empty() && own.front() == check.front();
}

// The top-level windows, top of the stack first where the order is known.
// `with_hidden` also takes unmapped children of the root, as FindWindowW
// finds hidden windows.
std::vector<xcb_window_t> top_level_windows(const Connection& c, bool with_hidden) {
  if (window_manager_alive(c)) {
    return get_property(c, c.root(), c.atom(Atom::NetClientList), XCB_ATOM_WINDOW).words();
  }
  std::vector<xcb_window_t> children = children_of(c, c.root());
  std::reverse(children.begin(), children.end());
  std::vector<xcb_get_window_attributes_cookie_t> cookies;
  cookies.reserve(children.size());
  for (const xcb_window_t child : children) {
    cookies.push_back(xcb_get_window_attributes(c.get(), child));
  }
  std::vector<xcb_window_t> windows;
  for (std::size_t i = 0; i < children.size(); ++i) {
    auto got = reply(c, cookies[i], xcb_get_window_attributes_reply);
    if (!got || got->override_redirect != 0 ||
        (!with_hidden && got->map_state != XCB_MAP_STATE_VIEWABLE)) {
      continue;
    }
    windows.push_back(client_of(c, children[i]));
  }
  return windows;
}

std::u16string title_of(const Connection& c, xcb_window_t window) {
  const Property net_name = get_property(c, window, c.atom(Atom::NetWmName));
  if (net_name.exists && net_name.type == c.atom(Atom::Utf8String) && net_name.format == 8) {
    return utf16_from_utf8(net_name.bytes);
  }
  const Property name = get_property(c, window, XCB_ATOM_WM_NAME);
  if (!name.exists || name.format != 8) {
    return {};
  }
  if (name.type == c.atom(Atom::Utf8String)) {
    return utf16_from_utf8(name.bytes);
  }
  if (name.type == c.atom(Atom::CompoundText)) {
    // Compound text starts out as Latin-1; what follows a switch to another
    // character set is not decoded.
    return utf16_from_latin1(std::string_view(name.bytes).substr(0, name.bytes.find('\x1b')));
  }
  return utf16_from_latin1(name.bytes);
}

bool is_tool_window(const Connection& c, xcb_window_t window) {
  const Atom tool_types[] = {
      Atom::NetWmWindowTypeUtility,      Atom::NetWmWindowTypeToolbar, Atom::NetWmWindowTypeDock,
      Atom::NetWmWindowTypeMenu,         Atom::NetWmWindowTypeSplash,  Atom::NetWmWindowTypeTooltip,
      Atom::NetWmWindowTypeNotification,
  };
  for (const std::uint32_t type :
       get_property(c, window, c.atom(Atom::NetWmWindowType), XCB_ATOM_ATOM).words()) {
    for (const Atom tool : tool_types) {
      if (type == c.atom(tool)) {
        return true;
      }
    }
  }
  return false;
}

// The top-level client that holds `window` (a focus window may be a child).
xcb_window_t top_level_of(const Connection& c, xcb_window_t window) {
  xcb_window_t current = window;
  for (;;) {
    if (has_wm_state(c, current)) {
      return current;
    }
    xcb_window_t parent = XCB_NONE;
    children_of(c, current, &parent);
    if (parent == XCB_NONE) {
      return window;
    }
    if (parent == c.root()) {
      return client_of(c, current);
    }
    current = parent;
  }
}

// Runs `use` with the shared connection when `window` exists; otherwise sets
// last error 1400, as Windows does for a handle that names no window.
template <typename Use>
auto with_window(HWND window, Use use)
    -> decltype(use(std::declval<const Connection&>(), xcb_window_t{},
                    xcb_get_window_attributes_reply_t{})) {
  const auto c = shared_connection();
  if (c) {
    if (const auto found = attributes(*c, window_id(window))) {
      return use(*c, window_id(window), *found);
    }
  }
  posix::set_last_error(kErrorInvalidWindowHandle);
  return {};
}

std::u16string_view terminated(const WCHAR* text) {
  return text == nullptr ? std::u16string_view() : std::u16string_view(text);
}

}  // namespace

HWND window_handle(xcb_window_t window) {
  return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window));
}

xcb_window_t window_id(HWND window) {
  const auto value = reinterpret_cast<std::uintptr_t>(window);
  return value > 0xFFFFFFFFU ? XCB_NONE : static_cast<xcb_window_t>(value);
}

std::optional<std::pair<std::uint16_t, std::uint16_t>> window_size(const Connection& c,
                                                                   xcb_window_t window) {
  auto geometry = reply(c, xcb_get_geometry(c.get(), window), xcb_get_geometry_reply);
  if (!geometry) {
    return std::nullopt;
  }
  return std::pair{geometry->width, geometry->height};
}

}  // namespace lumigrab::x11

namespace lumigrab::platform::with_x11 {

HWND FindWindowW(const WCHAR* class_name, const WCHAR* window_name) {
  if (class_name != nullptr) {
    return nullptr;  // X windows belong to no class a caller could name
  }
  const auto c = x11::shared_connection();
  if (!c) {
    return nullptr;
  }
  const std::u16string_view wanted = x11::terminated(window_name);
  for (const xcb_window_t window : x11::top_level_windows(*c, true)) {
    if (window_name == nullptr || x11::title_of(*c, window) == wanted) {
      return x11::window_handle(window);
    }
  }
  return nullptr;
}

BOOL IsWindowVisible(HWND window) {
  return x11::with_window(
      window,
      [](const auto&, xcb_window_t, const xcb_get_window_attributes_reply_t& found) -> BOOL {
        return found.map_state == XCB_MAP_STATE_VIEWABLE ? 1 : 0;
      });
}

DWORD GetWindowThreadProcessId(HWND window, DWORD* process_id) {
  return x11::with_window(
      window, [process_id](const x11::Connection& c, xcb_window_t id, const auto&) -> DWORD {
        const std::vector<std::uint32_t> pid =
            x11::get_property(c, id, c.atom(x11::Atom::NetWmPid), XCB_ATOM_CARDINAL).words();
        const DWORD owner = pid.empty() ? 0 : pid.front();
        if (process_id != nullptr) {
          *process_id = owner;
        }
        // A process's main thread has the process's id.
        return owner;
      });
}

BOOL GetClientRect(HWND window, RECT* rect) {
  const auto c = x11::shared_connection();
  const auto size = c ? x11::window_size(*c, x11::window_id(window)) : std::nullopt;
  if (!size) {
    posix::set_last_error(x11::kErrorInvalidWindowHandle);
    return 0;
  }
  if (rect == nullptr) {
    posix::set_last_error(posix::kErrorInvalidParameter);
    return 0;
  }
  *rect = {0, 0, size->first, size->second};
  return 1;
}

// X11 scales nothing for a program: every thread sees physical pixels, and
// only remembers what it asked for.
DPI_AWARENESS_CONTEXT SetThreadDpiAwarenessContext(DPI_AWARENESS_CONTEXT context) {
  thread_local DPI_AWARENESS_CONTEXT current =
      win::dpi_awareness_context(win::DPI_AWARENESS_CONTEXT_UNAWARE_);
  const auto value = reinterpret_cast<std::intptr_t>(context);
  if (value > -1 || value < -5) {
    posix::set_last_error(posix::kErrorInvalidParameter);
    return nullptr;
  }
  return std::exchange(current, context);
}

BOOL ClientToScreen(HWND window, POINT* point) {
  const auto c = x11::shared_connection();
  if (!c) {
    posix::set_last_error(x11::kErrorInvalidWindowHandle);
    return 0;
  }
  auto where =
      x11::reply(*c, xcb_translate_coordinates(c->get(), x11::window_id(window), c->root(), 0, 0),
                 xcb_translate_coordinates_reply);
  if (!where) {
    posix::set_last_error(x11::kErrorInvalidWindowHandle);
    return 0;
  }
  if (point == nullptr) {
    posix::set_last_error(posix::kErrorInvalidParameter);
    return 0;
  }
  point->x += where->dst_x;
  point->y += where->dst_y;
  return 1;
}

LONG_PTR GetWindowLongPtrW(HWND window, int index) {
  return x11::with_window(
      window,
      [index](const x11::Connection& c, xcb_window_t id,
              const xcb_get_window_attributes_reply_t& found) -> LONG_PTR {
        if (index == GWL_STYLE_) {
          LONG_PTR style = found.map_state == XCB_MAP_STATE_VIEWABLE ? x11::kVisibleStyle : 0;
          // A window that is neither a child of the root nor a client a manager
          // wrapped is part of another window.
          xcb_window_t parent = XCB_NONE;
          x11::children_of(c, id, &parent);
          if (parent != XCB_NONE && parent != c.root() && !x11::has_wm_state(c, id)) {
            style |= WS_CHILD_;
          }
          return style;
        }
        if (index == GWL_EXSTYLE_) {
          return x11::is_tool_window(c, id) ? WS_EX_TOOLWINDOW_ : 0;
        }
        posix::set_last_error(x11::kErrorInvalidIndex);
        return 0;
      });
}

int GetWindowTextLengthW(HWND window) {
  return x11::with_window(window,
                          [](const x11::Connection& c, xcb_window_t id, const auto&) -> int {
                            return static_cast<int>(x11::title_of(c, id).size());
                          });
}

int GetWindowTextW(HWND window, WCHAR* buffer, int capacity) {
  return x11::with_window(
      window, [buffer, capacity](const x11::Connection& c, xcb_window_t id, const auto&) -> int {
        if (buffer == nullptr || capacity <= 0) {
          return 0;
        }
        const std::u16string title = x11::title_of(c, id);
        const std::size_t count = std::min(title.size(), static_cast<std::size_t>(capacity) - 1);
        std::copy_n(title.begin(), count, buffer);
        buffer[count] = 0;
        return static_cast<int>(count);
      });
}

HWND GetDesktopWindow() {
  const auto c = x11::shared_connection();
  return c ? x11::window_handle(c->root()) : nullptr;
}

BOOL EnumChildWindows(HWND parent, WNDENUMPROC callback, LPARAM data) {
  if (callback == nullptr) {
    posix::set_last_error(posix::kErrorInvalidParameter);
    return 0;
  }
  const auto c = x11::shared_connection();
  if (!c) {
    posix::set_last_error(x11::kErrorDeviceNotConnected);
    return 0;
  }
  std::vector<xcb_window_t> children;
  if (parent == nullptr || x11::window_id(parent) == c->root()) {
    children = x11::top_level_windows(*c, false);
  } else if (x11::attributes(*c, x11::window_id(parent))) {
    children = x11::children_of(*c, x11::window_id(parent));
    std::reverse(children.begin(), children.end());
  } else {
    posix::set_last_error(x11::kErrorInvalidWindowHandle);
    return 0;
  }
  for (const xcb_window_t child : children) {
    if (callback(x11::window_handle(child), data) == 0) {
      return 0;
    }
  }
  return 1;
}

HWND GetForegroundWindow() {
  const auto c = x11::shared_connection();
  if (!c) {
    return nullptr;
  }
  if (x11::window_manager_alive(*c)) {
    const std::vector<std::uint32_t> active =
        x11::get_property(*c, c->root(), c->atom(x11::Atom::NetActiveWindow), XCB_ATOM_WINDOW)
            .words();
    if (!active.empty() && active.front() != XCB_NONE) {
      return x11::window_handle(active.front());
    }
  }
  auto focus = x11::reply(*c, xcb_get_input_focus(c->get()), xcb_get_input_focus_reply);
  // None and PointerRoot name no window.
  if (!focus || focus->focus == XCB_NONE || focus->focus == XCB_INPUT_FOCUS_POINTER_ROOT ||
      focus->focus == c->root()) {
    return nullptr;
  }
  return x11::window_handle(x11::top_level_of(*c, focus->focus));
}

}  // namespace lumigrab::platform::with_x11
