// Display monitors: lookup by position, enumeration, and the queries behind
// each property.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lib/result.h"
#include "lib/windows_error.h"
#include "platform/win_types.h"

namespace lumigrab::monitor {

// Why a decimal number could not be read.
enum class ParseIntError { Empty, InvalidDigit, PosOverflow };

std::string text_form(ParseIntError error);

class MonitorError {
 public:
  enum class Kind {
    NotFound,
    NameNotFound,
    IndexError,
    MonitorInfoError,
    MonitorSettingsError,
    MonitorNameError,
    MonitorIndexError,
    MonitorStringError,
    WindowsError,
  };

  MonitorError(Kind kind) : kind_(kind) {}  // NOLINT(google-explicit-constructor)
  static MonitorError index_error(ParseIntError error) {
    MonitorError result(Kind::MonitorIndexError);
    result.parse_error_ = error;
    return result;
  }
  static MonitorError windows_error(WindowsError error) {
    MonitorError result(Kind::WindowsError);
    result.windows_error_.emplace(std::move(error));
    return result;
  }

  Kind kind() const noexcept { return kind_; }

 private:
  friend std::string text_form(const MonitorError& error);
  friend std::string debug_form(const MonitorError& error);

  Kind kind_;
  ParseIntError parse_error_ = ParseIntError::Empty;
  std::optional<WindowsError> windows_error_;
};

std::string text_form(const MonitorError& error);
std::string debug_form(const MonitorError& error);

// The monitor that holds the desktop origin.
Result<win::HMONITOR, MonitorError> primary_monitor();

// The monitor at this 1-based position of the system's enumeration order.
Result<win::HMONITOR, MonitorError> monitor_at(std::uint64_t id);

// Every monitor, in the system's order.
Result<std::vector<win::HMONITOR>, MonitorError> enumerate_monitors();

Result<std::string, MonitorError> device_name(win::HMONITOR monitor);
Result<std::uint64_t, MonitorError> index(win::HMONITOR monitor);
Result<std::uint32_t, MonitorError> width(win::HMONITOR monitor);
Result<std::uint32_t, MonitorError> height(win::HMONITOR monitor);
Result<std::uint32_t, MonitorError> refresh_rate(win::HMONITOR monitor);
Result<std::string, MonitorError> device_string(win::HMONITOR monitor);
// The monitor's rectangle on the desktop (left, top, right, bottom).
Result<win::RECT, MonitorError> desktop_rect(win::HMONITOR monitor);

// The number in a device name: every "\\.\DISPLAY" removed, the rest read as
// an unsigned decimal.
Result<std::uint64_t, ParseIntError> parse_display_index(const std::string& name);

}  // namespace lumigrab::monitor
