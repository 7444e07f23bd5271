// Monitors as the display functions of the system report them. Under Wine on
// Xvfb there is one monitor, \\.\DISPLAY1, at the origin, of the screen's size.
#include <algorithm>
#include <string>

#include "harness.h"
#include "monitor/monitor.h"
#include "platform/platform.h"
#include "wine_support.h"

namespace lumigrab::test {
namespace {

// The current display mode as the system hands it out, to compare unchanged
// values with.
DEVMODEW current_mode(HMONITOR handle) {
  MONITORINFOEXW info{};
  info.cbSize = sizeof info;
  ::GetMonitorInfoW(handle, &info);
  DEVMODEW mode{};
  mode.dmSize = sizeof mode;
  ::EnumDisplaySettingsW(info.szDevice, ENUM_CURRENT_SETTINGS, &mode);
  return mode;
}

}  // namespace

TEST(monitors_are_enumerated_and_the_primary_one_is_at_the_origin) {
  auto monitors = monitor::enumerate_monitors();
  CHECK(monitors.ok());
  if (!monitors) {
    return;
  }
  const auto& list = monitors.value();
  CHECK(!list.empty());
  if (running_under_wine()) {
    CHECK_EQ(list.size(), std::size_t{1});
  }
  auto primary = monitor::primary_monitor();
  CHECK(primary.ok());
  if (primary) {
    CHECK(std::find(list.begin(), list.end(), primary.value()) != list.end());
    MONITORINFOEXW info{};
    info.cbSize = sizeof info;
    CHECK(::GetMonitorInfoW(primary.value(), &info) != FALSE);
    CHECK_EQ(info.rcMonitor.left, 0);
    CHECK_EQ(info.rcMonitor.top, 0);
  }

  // Positions count from 1 in enumeration order, and end with the list.
  for (std::size_t i = 0; i < list.size(); ++i) {
    auto at = monitor::monitor_at(i + 1);
    CHECK(at.ok() && at.value() == list[i]);
  }
  auto past_end = monitor::monitor_at(list.size() + 1);
  CHECK(!past_end.ok() && past_end.error().kind() == monitor::MonitorError::Kind::NotFound);
}

TEST(monitor_properties_come_from_the_current_display_mode) {
  auto primary = monitor::primary_monitor();
  CHECK(primary.ok());
  if (!primary) {
    return;
  }
  const HMONITOR handle = primary.value();
  auto name = monitor::device_name(handle);
  auto index = monitor::index(handle);
  auto width = monitor::width(handle);
  auto height = monitor::height(handle);
  auto rate = monitor::refresh_rate(handle);
  auto device = monitor::device_string(handle);
  CHECK(name.ok() && index.ok() && width.ok() && height.ok() && rate.ok() && device.ok());
  if (!(name && index && width && height && rate && device)) {
    return;
  }
  std::cout << "     primary monitor: " << name.value() << ", " << width.value() << "x"
            << height.value() << " at " << rate.value() << " Hz, \"" << device.value() << "\"\n";

  CHECK_EQ(name.value().rfind("\\\\.\\DISPLAY", 0), std::size_t{0});
  CHECK(!device.value().empty());
  const DEVMODEW mode = current_mode(handle);
  CHECK_EQ(width.value(), mode.dmPelsWidth);
  CHECK_EQ(height.value(), mode.dmPelsHeight);
  CHECK_EQ(rate.value(), mode.dmDisplayFrequency);

  if (const auto screen = expected_screen()) {
    CHECK_EQ(width.value(), screen->width);
    CHECK_EQ(height.value(), screen->height);
  }
  if (running_under_wine()) {
    CHECK_EQ(name.value(), std::string("\\\\.\\DISPLAY1"));
    CHECK_EQ(index.value(), std::uint64_t{1});
    // Wine's X11 driver reports no frequency for Xvfb's mode; it must come
    // through as it is rather than be made up.
    CHECK_EQ(rate.value(), std::uint32_t{0});
    CHECK_EQ(device.value(), std::string("Generic Non-PnP Monitor"));
  }
}

}  // namespace lumigrab::test
