// Top-level windows: the validity test, titles, lookup and enumeration.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "lib/result.h"
#include "lib/windows_error.h"
#include "platform/win_types.h"

namespace lumigrab::window {

// What the validity test looks at, gathered from the system.
struct WindowFacts {
  bool visible = false;
  win::DWORD owner_process_id = 0;
  win::DWORD own_process_id = 0;
  bool client_rect_ok = false;
  win::LONG_PTR style = 0;
  win::LONG_PTR extended_style = 0;
};

// Whether a window with these facts is a sensible capture target.
bool is_valid(const WindowFacts& facts) noexcept;

// The validity test against the live window: asks the system only as far as
// the answer needs.
bool is_valid_window(win::HWND window);

class WindowError {
 public:
  enum class Kind { NoActiveWindow, NotFound, WindowStringError, WindowsError };

  static WindowError no_active_window() { return WindowError(Kind::NoActiveWindow); }
  static WindowError not_found(std::string title) {
    WindowError error(Kind::NotFound);
    error.title_ = std::move(title);
    return error;
  }
  static WindowError string_error() { return WindowError(Kind::WindowStringError); }
  static WindowError windows_error(WindowsError error) {
    WindowError result(Kind::WindowsError);
    result.windows_error_.emplace(std::move(error));
    return result;
  }

  Kind kind() const noexcept { return kind_; }
  const std::string& title() const noexcept { return title_; }
  const std::optional<WindowsError>& windows_error() const noexcept { return windows_error_; }

 private:
  explicit WindowError(Kind kind) : kind_(kind) {}
  Kind kind_;
  std::string title_;
  std::optional<WindowsError> windows_error_;
};

std::string text_form(const WindowError& error);
std::string debug_form(const WindowError& error);

// The window's title; empty when it has none or cannot be read.
Result<std::string, WindowError> window_title(win::HWND window);

// The top-level window with exactly this title (UTF-8).
Result<win::HWND, WindowError> find_window(const std::string& title);

// Every window under the desktop that passes the validity test, in the
// system's order.
Result<std::vector<win::HWND>, WindowError> enumerate_windows();

Result<win::HWND, WindowError> foreground_window();

// The window's client area: its top-left corner on the desktop and its size.
struct ClientArea {
  win::LONG left = 0;
  win::LONG top = 0;
  win::LONG width = 0;
  win::LONG height = 0;
};
Result<ClientArea, WindowError> client_area(win::HWND window);

// The id of the process that owns the window.
Result<win::DWORD, WindowError> process_id(win::HWND window);

}  // namespace lumigrab::window
