// The value of every failed Windows call: an HRESULT and the error information
// the failing thread held at that moment.
#pragma once

#include <string>

#include "lib/result.h"
#include "platform/com_ptr.h"
#include "platform/win_types.h"

namespace lumigrab {

class WindowsError {
 public:
  // A failing HRESULT of a COM or Windows Runtime call; takes (and so clears)
  // the calling thread's error information.
  static WindowsError from_hresult(win::HRESULT code);
  // The calling thread's last error, after a failed user32 or kernel32 call.
  static WindowsError from_last_error();
  // A call that reported success but handed back no object.
  static WindowsError missing_result();
  // An interface query that gave no interface.
  static WindowsError no_interface();

  // HRESULT_FROM_WIN32.
  static constexpr win::HRESULT hresult_from_win32(win::DWORD error) noexcept {
    const auto value = static_cast<std::int32_t>(error);
    if (value <= 0) {
      return value;
    }
    return static_cast<win::HRESULT>((error & 0xFFFFU) | 0x80070000U);
  }

  WindowsError(win::HRESULT code, ComPtr<abi::IErrorInfo> info) noexcept
      : code_(code), info_(std::move(info)) {}

  win::HRESULT code() const noexcept { return code_; }
  abi::IErrorInfo* info() const noexcept { return info_.get(); }

  // The message the system has for this error, looked up anew on each call.
  std::string message() const;

 private:
  win::HRESULT code_;
  ComPtr<abi::IErrorInfo> info_;
};

// A COM or Windows Runtime call's HRESULT as a status.
inline Status<WindowsError> check_hresult(win::HRESULT code) {
  if (win::failed(code)) {
    return Err(WindowsError::from_hresult(code));
  }
  return Ok{};
}

// The same for a call that hands back an object: success without one fails
// with code 0.
template <typename T>
Status<WindowsError> check_result(win::HRESULT code, const ComPtr<T>& result) {
  if (win::failed(code)) {
    return Err(WindowsError::from_hresult(code));
  }
  if (!result) {
    return Err(WindowsError::missing_result());
  }
  return Ok{};
}

// "0x" and eight upper-case hexadecimal digits.
std::string format_hresult(win::HRESULT code);

// The message followed by " (0x........)", or the code alone.
std::string text_form(const WindowsError& error);

// Error { code: HRESULT(0x........), message: "..." }
std::string debug_form(const WindowsError& error);

}  // namespace lumigrab
