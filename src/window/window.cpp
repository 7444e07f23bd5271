#include "window/window.h"

#include "lib/physical_pixels.h"
#include "lib/utf16.h"
#include "platform/platform.h"

namespace lumigrab::window {
namespace {

win::BOOL collect_valid_window(win::HWND window, win::LPARAM data) {
  if (is_valid_window(window)) {
    reinterpret_cast<std::vector<win::HWND>*>(data)->push_back(window);
  }
  return 1;
}

}  // namespace

bool is_valid(const WindowFacts& facts) noexcept {
  if (!facts.visible || facts.owner_process_id == facts.own_process_id || !facts.client_rect_ok) {
    return false;
  }
  return (facts.style & win::WS_CHILD_) == 0 &&
         (facts.extended_style & win::WS_EX_TOOLWINDOW_) == 0;
}

bool is_valid_window(win::HWND window) {
  WindowFacts facts;
  facts.visible = platform::IsWindowVisible(window) != 0;
  if (!facts.visible) {
    return false;
  }
  platform::GetWindowThreadProcessId(window, &facts.owner_process_id);
  facts.own_process_id = platform::GetCurrentProcessId();
  if (facts.owner_process_id == facts.own_process_id) {
    return false;
  }
  win::RECT rect{};
  facts.client_rect_ok = platform::GetClientRect(window, &rect) != 0;
  if (!facts.client_rect_ok) {
    return false;
  }
  facts.style = platform::GetWindowLongPtrW(window, win::GWL_STYLE_);
  facts.extended_style = platform::GetWindowLongPtrW(window, win::GWL_EXSTYLE_);
  return is_valid(facts);
}

std::string text_form(const WindowError& error) {
  switch (error.kind()) {
    case WindowError::Kind::NoActiveWindow: return "No active window found";
    case WindowError::Kind::NotFound:
      return "Failed to find window with name '" + error.title() + "'";
    case WindowError::Kind::WindowStringError:
      return std::string("Failed to convert windows string '") + kLoneSurrogateText +
             "' from UTF-16";
    case WindowError::Kind::WindowsError:
      return "Windows API error: " + lumigrab::text_form(*error.windows_error());
  }
  return "";
}

std::string debug_form(const WindowError& error) {
  switch (error.kind()) {
    case WindowError::Kind::NoActiveWindow: return "NoActiveWindow";
    case WindowError::Kind::NotFound: return "NotFound(" + quote_for_debug(error.title()) + ")";
    case WindowError::Kind::WindowStringError: return "WindowStringError(DecodeUtf16Error)";
    case WindowError::Kind::WindowsError:
      return "WindowsError(" + lumigrab::debug_form(*error.windows_error()) + ")";
  }
  return "";
}

Result<std::string, WindowError> window_title(win::HWND window) {
  const int length = platform::GetWindowTextLengthW(window);
  const std::size_t capacity = length > 0 ? static_cast<std::size_t>(length) + 1 : 1;
  WideString buffer(capacity, 0);
  if (length > 0 &&
      platform::GetWindowTextW(window, buffer.data(), static_cast<int>(capacity)) == 0) {
    return std::string();
  }
  auto text = decode_utf16_strict(buffer.data(), terminated_length(buffer.data(), capacity));
  if (!text) {
    return Err{WindowError::string_error()};
  }
  return std::move(*text);
}

Result<win::HWND, WindowError> find_window(const std::string& title) {
  // FindWindowW reads the title up to its first NUL; no window's title holds
  // one, so a title that does matches nothing (rather than its first part).
  if (title.find('\0') != std::string::npos) {
    return Err{WindowError::not_found(title)};
  }
  const WideString wide_title = encode_utf16(title);
  const win::HWND window = platform::FindWindowW(nullptr, wide_title.c_str());
  if (window == nullptr) {
    return Err{WindowError::not_found(title)};
  }
  return window;
}

Result<std::vector<win::HWND>, WindowError> enumerate_windows() {
  std::vector<win::HWND> windows;
  if (platform::EnumChildWindows(platform::GetDesktopWindow(), &collect_valid_window,
                                 reinterpret_cast<win::LPARAM>(&windows)) == 0) {
    return Err{WindowError::windows_error(WindowsError::from_last_error())};
  }
  return windows;
}

Result<win::HWND, WindowError> foreground_window() {
  const win::HWND window = platform::GetForegroundWindow();
  if (window == nullptr) {
    return Err{WindowError::no_active_window()};
  }
  return window;
}

Result<ClientArea, WindowError> client_area(win::HWND window) {
  const PhysicalPixels physical;
  win::RECT rect{};
  if (platform::GetClientRect(window, &rect) == 0) {
    return Err{WindowError::windows_error(WindowsError::from_last_error())};
  }
  win::POINT origin{0, 0};
  if (platform::ClientToScreen(window, &origin) == 0) {
    // ClientToScreen is not documented to set a last error: a failure must
    // not read as error 0, "The operation completed successfully."
    constexpr win::DWORD kErrorInvalidWindowHandle = 1400;
    return Err{WindowError::windows_error(
        platform::GetLastError() != 0 ? WindowsError::from_last_error()
                                      : WindowsError::from_hresult(WindowsError::hresult_from_win32(
                                            kErrorInvalidWindowHandle)))};
  }
  return ClientArea{origin.x, origin.y, rect.right - rect.left, rect.bottom - rect.top};
}

Result<win::DWORD, WindowError> process_id(win::HWND window) {
  win::DWORD id = 0;
  if (platform::GetWindowThreadProcessId(window, &id) == 0) {
    return Err{WindowError::windows_error(WindowsError::from_last_error())};
  }
  return id;
}

}  // namespace lumigrab::window
