#include "monitor/monitor.h"

#include <cstring>

#include "lib/physical_pixels.h"
#include "lib/utf16.h"
#include "platform/platform.h"

namespace lumigrab::monitor {
namespace {

const char* kind_name(MonitorError::Kind kind) {
  switch (kind) {
    case MonitorError::Kind::NotFound: return "NotFound";
    case MonitorError::Kind::NameNotFound: return "NameNotFound";
    case MonitorError::Kind::IndexError: return "IndexError";
    case MonitorError::Kind::MonitorInfoError: return "MonitorInfoError";
    case MonitorError::Kind::MonitorSettingsError: return "MonitorSettingsError";
    case MonitorError::Kind::MonitorNameError: return "MonitorNameError";
    case MonitorError::Kind::MonitorIndexError: return "MonitorIndexError";
    case MonitorError::Kind::MonitorStringError: return "MonitorStringError";
    case MonitorError::Kind::WindowsError: return "WindowsError";
  }
  return "";
}

const char* parse_error_variant(ParseIntError error) {
  switch (error) {
    case ParseIntError::Empty: return "Empty";
    case ParseIntError::InvalidDigit: return "InvalidDigit";
    case ParseIntError::PosOverflow: return "PosOverflow";
  }
  return "";
}

// The handle list that an enumeration callback fills.
win::BOOL collect_monitor(win::HMONITOR monitor, win::HDC /*dc*/, win::RECT* /*rect*/,
                          win::LPARAM data) {
  reinterpret_cast<std::vector<win::HMONITOR>*>(data)->push_back(monitor);
  return 1;
}

// A handle of 0 or of all bits set names no monitor.
bool is_no_monitor(win::HMONITOR monitor) {
  const auto value = reinterpret_cast<std::uintptr_t>(monitor);
  return value == 0 || value == ~std::uintptr_t{0};
}

Result<win::MONITORINFOEXW, MonitorError> monitor_info(win::HMONITOR monitor) {
  win::MONITORINFOEXW info;
  std::memset(&info, 0, sizeof info);
  info.cbSize = sizeof info;
  if (platform::GetMonitorInfoW(monitor, &info) == 0) {
    return Err{MonitorError(MonitorError::Kind::MonitorInfoError)};
  }
  return info;
}

Result<std::string, MonitorError> decode_field(const win::WCHAR* units, std::size_t capacity) {
  auto text = decode_utf16_strict(units, terminated_length(units, capacity));
  if (!text) {
    return Err{MonitorError(MonitorError::Kind::MonitorStringError)};
  }
  return std::move(*text);
}

Result<win::DEVMODEW, MonitorError> display_settings(win::HMONITOR monitor) {
  win::DEVMODEW mode;
  std::memset(&mode, 0, sizeof mode);
  mode.dmSize = sizeof mode;
  auto name = device_name(monitor);
  if (!name) {
    return Err{std::move(name).error()};
  }
  const WideString wide_name = encode_utf16(name.value());
  if (platform::EnumDisplaySettingsW(wide_name.c_str(), win::ENUM_CURRENT_SETTINGS_, &mode) == 0) {
    return Err{MonitorError(MonitorError::Kind::MonitorSettingsError)};
  }
  return mode;
}

}  // namespace

std::string text_form(ParseIntError error) {
  switch (error) {
    case ParseIntError::Empty: return "cannot parse integer from empty string";
    case ParseIntError::InvalidDigit: return "invalid digit found in string";
    case ParseIntError::PosOverflow: return "number too large to fit in target type";
  }
  return "";
}

std::string text_form(const MonitorError& error) {
  switch (error.kind_) {
    case MonitorError::Kind::NotFound: return "Failed to find monitor";
    case MonitorError::Kind::NameNotFound: return "Failed to find monitor name";
    case MonitorError::Kind::IndexError: return "Monitor index is lower than one";
    case MonitorError::Kind::MonitorInfoError: return "Failed to get monitor info";
    case MonitorError::Kind::MonitorSettingsError: return "Failed to get monitor settings";
    case MonitorError::Kind::MonitorNameError: return "Failed to get monitor name";
    case MonitorError::Kind::MonitorIndexError:
      return "Failed to parse monitor index: " + text_form(error.parse_error_);
    case MonitorError::Kind::MonitorStringError:
      return std::string("Failed to convert windows string: ") + kLoneSurrogateText;
    case MonitorError::Kind::WindowsError:
      return "Windows API error: " + lumigrab::text_form(*error.windows_error_);
  }
  return "";
}

std::string debug_form(const MonitorError& error) {
  switch (error.kind_) {
    case MonitorError::Kind::WindowsError:
      return std::string(kind_name(error.kind_)) + "(" +
             lumigrab::debug_form(*error.windows_error_) + ")";
    case MonitorError::Kind::MonitorIndexError:
      return std::string(kind_name(error.kind_)) +
             "(ParseIntError { kind: " + parse_error_variant(error.parse_error_) + " })";
    case MonitorError::Kind::MonitorStringError:
      return std::string(kind_name(error.kind_)) + "(DecodeUtf16Error)";
    default: return kind_name(error.kind_);
  }
}

Result<win::HMONITOR, MonitorError> primary_monitor() {
  const win::HMONITOR monitor =
      platform::MonitorFromPoint(win::POINT{0, 0}, win::MONITOR_DEFAULTTONULL_);
  if (is_no_monitor(monitor)) {
    return Err{MonitorError(MonitorError::Kind::NotFound)};
  }
  return monitor;
}

Result<std::vector<win::HMONITOR>, MonitorError> enumerate_monitors() {
  std::vector<win::HMONITOR> monitors;
  if (platform::EnumDisplayMonitors(nullptr, nullptr, &collect_monitor,
                                    reinterpret_cast<win::LPARAM>(&monitors)) == 0) {
    return Err{MonitorError::windows_error(WindowsError::from_last_error())};
  }
  return monitors;
}

Result<win::HMONITOR, MonitorError> monitor_at(std::uint64_t id) {
  if (id == 0) {
    return Err{MonitorError(MonitorError::Kind::IndexError)};
  }
  auto monitors = enumerate_monitors();
  if (!monitors) {
    return Err{std::move(monitors).error()};
  }
  if (id - 1 >= monitors.value().size()) {
    return Err{MonitorError(MonitorError::Kind::NotFound)};
  }
  return monitors.value()[id - 1];
}

Result<std::string, MonitorError> device_name(win::HMONITOR monitor) {
  auto info = monitor_info(monitor);
  if (!info) {
    return Err{std::move(info).error()};
  }
  return decode_field(info.value().szDevice, std::size(info.value().szDevice));
}

Result<std::uint64_t, ParseIntError> parse_display_index(const std::string& name) {
  static constexpr std::string_view kPrefix = "\\\\.\\DISPLAY";
  std::string rest;
  std::size_t at = 0;
  while (at < name.size()) {
    if (name.compare(at, kPrefix.size(), kPrefix) == 0) {
      at += kPrefix.size();
    } else {
      rest.push_back(name[at]);
      ++at;
    }
  }
  std::string_view digits = rest;
  if (!digits.empty() && digits.front() == '+') {
    digits.remove_prefix(1);
  }
  if (digits.empty()) {
    return Err{ParseIntError::Empty};
  }
  std::uint64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') {
      return Err{ParseIntError::InvalidDigit};
    }
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) {
      return Err{ParseIntError::PosOverflow};
    }
    value = value * 10 + digit;
  }
  return value;
}

Result<std::uint64_t, MonitorError> index(win::HMONITOR monitor) {
  auto name = device_name(monitor);
  if (!name) {
    return Err{std::move(name).error()};
  }
  auto parsed = parse_display_index(name.value());
  if (!parsed) {
    return Err{MonitorError::index_error(parsed.error())};
  }
  return parsed.value();
}

Result<std::uint32_t, MonitorError> width(win::HMONITOR monitor) {
  auto mode = display_settings(monitor);
  if (!mode) {
    return Err{std::move(mode).error()};
  }
  return mode.value().dmPelsWidth;
}

Result<std::uint32_t, MonitorError> height(win::HMONITOR monitor) {
  auto mode = display_settings(monitor);
  if (!mode) {
    return Err{std::move(mode).error()};
  }
  return mode.value().dmPelsHeight;
}

Result<std::uint32_t, MonitorError> refresh_rate(win::HMONITOR monitor) {
  auto mode = display_settings(monitor);
  if (!mode) {
    return Err{std::move(mode).error()};
  }
  return mode.value().dmDisplayFrequency;
}

Result<std::string, MonitorError> device_string(win::HMONITOR monitor) {
  auto info = monitor_info(monitor);
  if (!info) {
    return Err{std::move(info).error()};
  }
  win::DISPLAY_DEVICEW device;
  std::memset(&device, 0, sizeof device);
  device.cb = sizeof device;
  // szDevice need not be terminated when the name fills it; the system reads
  // the name as a terminated string, so it gets a terminated copy.
  const auto& raw_name = info.value().szDevice;
  WideString terminated_name(raw_name, terminated_length(raw_name, std::size(raw_name)));
  if (platform::EnumDisplayDevicesW(terminated_name.c_str(), 0, &device, 0) == 0) {
    return Err{MonitorError(MonitorError::Kind::MonitorNameError)};
  }
  return decode_field(device.DeviceString, std::size(device.DeviceString));
}

Result<win::RECT, MonitorError> desktop_rect(win::HMONITOR monitor) {
  const PhysicalPixels physical;
  auto info = monitor_info(monitor);
  if (!info) {
    return Err{std::move(info).error()};
  }
  return info.value().rcMonitor;
}

}  // namespace lumigrab::monitor
