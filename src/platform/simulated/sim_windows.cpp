// Top-level windows, as user32 reports them.
#include <algorithm>
#include <mutex>
#include <utility>

#include "platform/platform.h"
#include "platform/simulated/sim_core.h"
#include "platform/simulated/sim_internal.h"

namespace lumigrab::sim {
namespace {

using detail::handle_text;

constexpr DWORD kErrorInvalidParameter = 87;
constexpr DWORD kErrorInvalidWindowHandle = 1400;
constexpr DWORD kErrorInvalidIndex = 1413;
constexpr std::uintptr_t kDesktopWindow = 0x20000;
// The process and thread that own every window not of this process.
constexpr DWORD kOtherProcessId = 0x2EE0;
constexpr DWORD kWindowThreadId = 0x2EE4;
constexpr LONG_PTR kVisibleStyle = 0x10000000;  // WS_VISIBLE

struct Window {
  std::uintptr_t handle;
  WindowSpec spec;
  bool closed = false;
};

struct Windows {
  std::mutex mutex;
  std::vector<Window> windows;  // in creation order, which is enumeration order
  std::uintptr_t foreground = 0;
  std::uintptr_t next_handle = kDesktopWindow + 1;
};

Windows& windows() {
  static Windows* const instance = new Windows();
  return *instance;
}

std::uintptr_t value_of(HWND window) {
  return reinterpret_cast<std::uintptr_t>(window);
}
HWND window_of(std::uintptr_t value) {
  return reinterpret_cast<HWND>(value);
}

Window* find_open(Windows& w, HWND handle) {
  for (Window& window : w.windows) {
    if (window.handle == value_of(handle) && !window.closed) {
      return &window;
    }
  }
  return nullptr;
}

// Finds the open window for `handle` with the lock held, or sets last error
// 1400 as Windows does for a handle that names no window.
template <typename Use>
auto with_window(HWND handle, Use use) -> decltype(use(std::declval<Window&>())) {
  auto& w = windows();
  const std::lock_guard lock(w.mutex);
  Window* window = find_open(w, handle);
  if (window == nullptr) {
    set_last_error(kErrorInvalidWindowHandle);
    return {};
  }
  return use(*window);
}

}  // namespace

HWND add_window(WindowSpec spec) {
  auto& w = windows();
  const std::lock_guard lock(w.mutex);
  if (!spec.process_id) {
    spec.process_id = kOtherProcessId;
  }
  const std::uintptr_t handle = w.next_handle++;
  w.windows.push_back({handle, std::move(spec)});
  return window_of(handle);
}

bool close_window(HWND handle) {
  auto& w = windows();
  const std::lock_guard lock(w.mutex);
  Window* window = find_open(w, handle);
  if (window == nullptr) {
    return false;
  }
  window->closed = true;
  if (w.foreground == window->handle) {
    w.foreground = 0;
  }
  return true;
}

bool set_window_title(HWND handle, std::u16string title) {
  auto& w = windows();
  const std::lock_guard lock(w.mutex);
  Window* window = find_open(w, handle);
  if (window == nullptr) {
    return false;
  }
  window->spec.title = std::move(title);
  return true;
}

void set_foreground_window(HWND handle) {
  auto& w = windows();
  const std::lock_guard lock(w.mutex);
  w.foreground = value_of(handle);
}

std::optional<std::pair<std::int32_t, std::int32_t>> window_capture_size(HWND handle) {
  auto& w = windows();
  const std::lock_guard lock(w.mutex);
  const Window* window = find_open(w, handle);
  if (window == nullptr) {
    return std::nullopt;
  }
  return std::pair{static_cast<std::int32_t>(window->spec.width),
                   static_cast<std::int32_t>(window->spec.height)};
}

void detail::reset_windows() {
  auto& w = windows();
  const std::lock_guard lock(w.mutex);
  w.windows.clear();
  w.foreground = 0;
}

}  // namespace lumigrab::sim

namespace lumigrab::platform {

using sim::detail::handle_text;

HWND FindWindowW(const WCHAR* class_name, const WCHAR* window_name) {
  sim::log_call("FindWindowW(" + sim::detail::quoted_argument(class_name) + ", " +
                sim::detail::quoted_argument(window_name) + ")");
  if (sim::detail::fails("FindWindowW")) {
    return nullptr;
  }
  if (class_name != nullptr) {
    return nullptr;  // simulated windows belong to no class a caller could name
  }
  auto& w = sim::windows();
  const std::lock_guard lock(w.mutex);
  // Hidden windows are found too, as Windows finds them.
  for (const sim::Window& window : w.windows) {
    if (window.closed) {
      continue;
    }
    const std::u16string_view title =
        sim::detail::up_to_zero(window.spec.title.data(), window.spec.title.size());
    if (window_name == nullptr || title == sim::detail::terminated(window_name)) {
      return sim::window_of(window.handle);
    }
  }
  return nullptr;
}

BOOL IsWindowVisible(HWND window) {
  sim::log_call("IsWindowVisible(" + handle_text(window) + ")");
  if (sim::detail::fails("IsWindowVisible")) {
    return 0;
  }
  auto& w = sim::windows();
  const std::lock_guard lock(w.mutex);
  const sim::Window* found = sim::find_open(w, window);
  return found != nullptr && found->spec.visible ? 1 : 0;
}

DWORD GetWindowThreadProcessId(HWND window, DWORD* process_id) {
  sim::log_call(
      "GetWindowThreadProcessId(" + handle_text(window) + ", " +
      (process_id == nullptr ? std::string("NULL") : "pid=" + std::to_string(*process_id)) + ")");
  if (sim::detail::fails("GetWindowThreadProcessId")) {
    return 0;
  }
  return sim::with_window(window, [process_id](const sim::Window& found) -> DWORD {
    if (process_id != nullptr) {
      *process_id = *found.spec.process_id;
    }
    return sim::kWindowThreadId;
  });
}

BOOL GetClientRect(HWND window, RECT* rect) {
  sim::log_call("GetClientRect(" + handle_text(window) + ")");
  if (sim::detail::fails("GetClientRect")) {
    return 0;
  }
  return sim::with_window(window, [rect](const sim::Window& found) -> BOOL {
    if (found.spec.client_rect_error != 0) {
      sim::set_last_error(found.spec.client_rect_error);
      return 0;
    }
    if (rect == nullptr) {
      sim::set_last_error(sim::kErrorInvalidParameter);
      return 0;
    }
    *rect = {0, 0, sim::detail::scaled_for_thread(found.spec.width),
             sim::detail::scaled_for_thread(found.spec.height)};
    return 1;
  });
}

BOOL ClientToScreen(HWND window, POINT* point) {
  sim::log_call("ClientToScreen(" + handle_text(window) + ")");
  if (sim::detail::fails("ClientToScreen")) {
    return 0;
  }
  return sim::with_window(window, [point](const sim::Window& found) -> BOOL {
    if (point == nullptr) {
      sim::set_last_error(sim::kErrorInvalidParameter);
      return 0;
    }
    point->x += sim::detail::scaled_for_thread(found.spec.left);
    point->y += sim::detail::scaled_for_thread(found.spec.top);
    return 1;
  });
}

DPI_AWARENESS_CONTEXT SetThreadDpiAwarenessContext(DPI_AWARENESS_CONTEXT context) {
  sim::log_call("SetThreadDpiAwarenessContext(" +
                std::to_string(reinterpret_cast<std::intptr_t>(context)) + ")");
  if (sim::detail::fails("SetThreadDpiAwarenessContext")) {
    return nullptr;
  }
  return sim::detail::set_thread_dpi_context(context);
}

LONG_PTR GetWindowLongPtrW(HWND window, int index) {
  sim::log_call("GetWindowLongPtrW(" + handle_text(window) + ", " + std::to_string(index) + ")");
  if (sim::detail::fails("GetWindowLongPtrW")) {
    return 0;
  }
  return sim::with_window(window, [index](const sim::Window& found) -> LONG_PTR {
    if (index == GWL_STYLE_) {
      // Visibility is a style bit to Windows.
      return found.spec.style | (found.spec.visible ? sim::kVisibleStyle : 0);
    }
    if (index == GWL_EXSTYLE_) {
      return found.spec.extended_style;
    }
    sim::set_last_error(sim::kErrorInvalidIndex);
    return 0;
  });
}

int GetWindowTextLengthW(HWND window) {
  sim::log_call("GetWindowTextLengthW(" + handle_text(window) + ")");
  if (sim::detail::fails("GetWindowTextLengthW")) {
    return 0;
  }
  return sim::with_window(window, [](const sim::Window& found) -> int {
    return static_cast<int>(found.spec.title.size());
  });
}

int GetWindowTextW(HWND window, WCHAR* buffer, int capacity) {
  sim::log_call("GetWindowTextW(" + handle_text(window) + ", capacity=" + std::to_string(capacity) +
                ")");
  if (sim::detail::fails("GetWindowTextW")) {
    return 0;
  }
  return sim::with_window(window, [buffer, capacity](const sim::Window& found) -> int {
    if (buffer == nullptr || capacity <= 0) {
      return 0;
    }
    const std::size_t count =
        std::min(found.spec.title.size(), static_cast<std::size_t>(capacity) - 1);
    std::copy_n(found.spec.title.begin(), count, buffer);
    buffer[count] = 0;
    return static_cast<int>(count);
  });
}

HWND GetDesktopWindow() {
  sim::log_call("GetDesktopWindow()");
  return sim::window_of(sim::kDesktopWindow);
}

BOOL EnumChildWindows(HWND parent, WNDENUMPROC callback, LPARAM data) {
  sim::log_call("EnumChildWindows(" + handle_text(parent) + ")");
  if (sim::detail::fails("EnumChildWindows")) {
    return 0;
  }
  if (callback == nullptr) {
    sim::set_last_error(sim::kErrorInvalidParameter);
    return 0;
  }
  std::vector<std::uintptr_t> children;
  {
    auto& w = sim::windows();
    const std::lock_guard lock(w.mutex);
    const bool top_level = parent == nullptr || sim::value_of(parent) == sim::kDesktopWindow;
    if (!top_level) {
      if (sim::find_open(w, parent) == nullptr) {
        sim::set_last_error(sim::kErrorInvalidWindowHandle);
        return 0;
      }
      return 1;  // simulated windows have no children
    }
    // Hidden windows are enumerated too.
    for (const sim::Window& window : w.windows) {
      if (!window.closed) {
        children.push_back(window.handle);
      }
    }
  }
  // The callback runs without the lock: it asks about each window.
  for (const std::uintptr_t child : children) {
    {
      auto& w = sim::windows();
      const std::lock_guard lock(w.mutex);
      if (sim::find_open(w, sim::window_of(child)) == nullptr) {
        continue;  // closed by an earlier callback
      }
    }
    if (callback(sim::window_of(child), data) == 0) {
      return 0;
    }
  }
  return 1;
}

HWND GetForegroundWindow() {
  sim::log_call("GetForegroundWindow()");
  auto& w = sim::windows();
  const std::lock_guard lock(w.mutex);
  return sim::window_of(w.foreground);
}

}  // namespace lumigrab::platform
