// Monitors as user32 reports them, made from RandR monitors.
//
// Positions in the server's monitor list name the displays: the monitor at
// position n is "\\.\DISPLAYn", so that Monitor.index counts as on Windows.
// The primary monitor is the one that contains the desktop origin.

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/displays.h"
#include "platform/posix/messages.h"
#include "platform/posix/user32_codes.h"
#include "platform/x11/x11_internal.h"

namespace lumigrab::x11 {
namespace {

using namespace posix::user32;  // NOLINT(google-build-using-namespace)
using posix::contains;
using posix::copy_units;
using posix::device_name_of;
using posix::position_of;
using posix::primary_position;
using posix::rect_of;
using posix::terminated;

HMONITOR monitor_of(std::uintptr_t value) {
  return reinterpret_cast<HMONITOR>(value);
}

HMONITOR handle_of(const MonitorRecord& m) {
  return monitor_of(m.handle);
}

struct ModeFacts {
  DWORD refresh_rate = 0;
};

// The current mode of the CRTC that shows the monitor: the CRTC of its first
// output, or (for a monitor defined without outputs) the one under its
// top-left corner.
ModeFacts current_mode(const Connection& c, const MonitorRecord& monitor) {
  xcb_connection_t* x = c.get();
  auto resources = reply(c, xcb_randr_get_screen_resources_current(x, c.root()),
                         xcb_randr_get_screen_resources_current_reply);
  if (!resources) {
    return {};
  }
  std::vector<xcb_randr_crtc_t> candidates;
  if (!monitor.outputs.empty()) {
    auto output =
        reply(c, xcb_randr_get_output_info(x, monitor.outputs.front(), resources->config_timestamp),
              xcb_randr_get_output_info_reply);
    if (output && output->crtc != XCB_NONE) {
      candidates.push_back(output->crtc);
    }
  } else {
    const xcb_randr_crtc_t* crtcs = xcb_randr_get_screen_resources_current_crtcs(resources.get());
    candidates.assign(crtcs,
                      crtcs + xcb_randr_get_screen_resources_current_crtcs_length(resources.get()));
  }
  const xcb_randr_mode_info_t* modes =
      xcb_randr_get_screen_resources_current_modes(resources.get());
  const int mode_count = xcb_randr_get_screen_resources_current_modes_length(resources.get());
  for (const xcb_randr_crtc_t crtc : candidates) {
    auto info = reply(c, xcb_randr_get_crtc_info(x, crtc, resources->config_timestamp),
                      xcb_randr_get_crtc_info_reply);
    if (!info || info->mode == XCB_NONE) {
      continue;
    }
    const bool under = info->x <= monitor.x && info->y <= monitor.y &&
                       monitor.x < info->x + info->width && monitor.y < info->y + info->height;
    if (monitor.outputs.empty() && !under) {
      continue;
    }
    for (int i = 0; i < mode_count; ++i) {
      const xcb_randr_mode_info_t& mode = modes[i];
      if (mode.id != info->mode) {
        continue;
      }
      double lines = mode.vtotal;
      if ((mode.mode_flags & XCB_RANDR_MODE_FLAG_DOUBLE_SCAN) != 0) {
        lines *= 2;
      }
      if ((mode.mode_flags & XCB_RANDR_MODE_FLAG_INTERLACE) != 0) {
        lines /= 2;
      }
      if (mode.htotal == 0 || lines <= 0) {
        return {};
      }
      return {static_cast<DWORD>(std::lround(mode.dot_clock / (mode.htotal * lines)))};
    }
  }
  return {};
}

// The device string: the name of the monitor's first output, else the
// monitor's own name.
std::u16string device_string_of(const Connection& c, const MonitorRecord& monitor) {
  xcb_connection_t* x = c.get();
  if (!monitor.outputs.empty()) {
    auto output = reply(c, xcb_randr_get_output_info(x, monitor.outputs.front(), XCB_CURRENT_TIME),
                        xcb_randr_get_output_info_reply);
    if (output) {
      const auto* name =
          reinterpret_cast<const char*>(xcb_randr_get_output_info_name(output.get()));
      return utf16_from_utf8(
          {name, static_cast<std::size_t>(xcb_randr_get_output_info_name_length(output.get()))});
    }
  }
  if (monitor.handle == kWholeScreen) {
    return u"X screen";
  }
  auto name = reply(c, xcb_get_atom_name(x, static_cast<xcb_atom_t>(monitor.handle)),
                    xcb_get_atom_name_reply);
  if (!name) {
    return {};
  }
  return utf16_from_utf8({xcb_get_atom_name_name(name.get()),
                          static_cast<std::size_t>(xcb_get_atom_name_name_length(name.get()))});
}

}  // namespace

std::vector<MonitorRecord> list_monitors(const Connection& c) {
  std::vector<MonitorRecord> monitors;
  if (c.has_randr_monitors()) {
    auto listed =
        reply(c, xcb_randr_get_monitors(c.get(), c.root(), 1), xcb_randr_get_monitors_reply);
    if (listed) {
      for (auto it = xcb_randr_get_monitors_monitors_iterator(listed.get()); it.rem > 0;
           xcb_randr_monitor_info_next(&it)) {
        MonitorRecord record;
        record.handle = it.data->name;
        record.x = it.data->x;
        record.y = it.data->y;
        record.width = it.data->width;
        record.height = it.data->height;
        const xcb_randr_output_t* outputs = xcb_randr_monitor_info_outputs(it.data);
        record.outputs.assign(outputs, outputs + xcb_randr_monitor_info_outputs_length(it.data));
        monitors.push_back(std::move(record));
      }
      return monitors;
    }
  }
  const xcb_screen_t& screen = c.screen();
  monitors.push_back({kWholeScreen, 0, 0, screen.width_in_pixels, screen.height_in_pixels, {}});
  return monitors;
}

std::optional<MonitorRecord> find_monitor(const Connection& c, HMONITOR monitor) {
  for (MonitorRecord& record : list_monitors(c)) {
    if (record.handle == reinterpret_cast<std::uintptr_t>(monitor)) {
      return std::move(record);
    }
  }
  return std::nullopt;
}

}  // namespace lumigrab::x11

namespace lumigrab::platform::with_x11 {

HMONITOR MonitorFromPoint(POINT point, DWORD flags) {
  const auto c = x11::shared_connection();
  if (!c) {
    return nullptr;
  }
  const std::vector<x11::MonitorRecord> monitors = x11::list_monitors(*c);
  for (const x11::MonitorRecord& monitor : monitors) {
    if (x11::contains(monitor, point.x, point.y)) {
      return x11::monitor_of(monitor.handle);
    }
  }
  if (flags == x11::kMonitorDefaultToPrimary || flags == x11::kMonitorDefaultToNearest) {
    if (const auto primary = x11::primary_position(monitors)) {
      return x11::monitor_of(monitors[*primary].handle);
    }
  }
  return nullptr;
}

BOOL EnumDisplayMonitors(HDC dc, const RECT* /*clip*/, MONITORENUMPROC callback, LPARAM data) {
  if (callback == nullptr) {
    posix::set_last_error(posix::kErrorInvalidParameter);
    return 0;
  }
  const auto c = x11::shared_connection();
  if (!c) {
    posix::set_last_error(x11::kErrorDeviceNotConnected);
    return 0;
  }
  const std::vector<x11::MonitorRecord> monitors = x11::list_monitors(*c);
  return posix::enumerate_monitors(monitors, &x11::handle_of, dc, callback, data);
}

BOOL GetMonitorInfoW(HMONITOR monitor, MONITORINFOEXW* info) {
  if (info == nullptr ||
      (info->cbSize != x11::kMonitorInfoSize && info->cbSize != sizeof(MONITORINFOEXW))) {
    posix::set_last_error(posix::kErrorInvalidParameter);
    return 0;
  }
  const auto c = x11::shared_connection();
  const std::vector<x11::MonitorRecord> monitors =
      c ? x11::list_monitors(*c) : std::vector<x11::MonitorRecord>{};
  return posix::monitor_info(monitors, &x11::handle_of, monitor, info);
}

BOOL EnumDisplaySettingsW(const WCHAR* device_name, DWORD mode_number, DEVMODEW* mode) {
  if (mode == nullptr) {
    posix::set_last_error(posix::kErrorInvalidParameter);
    return 0;
  }
  const bool known_mode = mode_number == ENUM_CURRENT_SETTINGS_ ||
                          mode_number == x11::kEnumRegistrySettings || mode_number == 0;
  const auto c = x11::shared_connection();
  if (!c || !known_mode) {
    return 0;
  }
  const std::vector<x11::MonitorRecord> monitors = x11::list_monitors(*c);
  const std::optional<std::size_t> position =
      device_name == nullptr ? x11::primary_position(monitors)
                             : x11::position_of(x11::terminated(device_name), monitors.size());
  if (!position) {
    return 0;
  }
  const x11::MonitorRecord& found = monitors[*position];
  mode->dmFields = x11::kDisplayModeFields;
  mode->u1.display.dmPosition = {found.x, found.y};
  mode->dmBitsPerPel = 32;
  mode->dmPelsWidth = found.width;
  mode->dmPelsHeight = found.height;
  mode->dmDisplayFrequency = x11::current_mode(*c, found).refresh_rate;
  return 1;
}

BOOL EnumDisplayDevicesW(const WCHAR* device, DWORD device_number, DISPLAY_DEVICEW* device_info,
                         DWORD /*flags*/) {
  if (device_info == nullptr || device_info->cb < offsetof(DISPLAY_DEVICEW, DeviceID)) {
    posix::set_last_error(posix::kErrorInvalidParameter);
    return 0;
  }
  const auto c = x11::shared_connection();
  if (!c) {
    return 0;
  }
  const std::vector<x11::MonitorRecord> monitors = x11::list_monitors(*c);
  if (device == nullptr) {
    // The display adapters: one per monitor, as each monitor's own output.
    if (device_number >= monitors.size()) {
      return 0;
    }
    x11::copy_units(device_info->DeviceName, x11::device_name_of(device_number), 32);
    x11::copy_units(device_info->DeviceString, u"X11 display", 128);
    device_info->StateFlags =
        x11::kDisplayDeviceAttachedToDesktop |
        (x11::primary_position(monitors) == device_number ? x11::kDisplayDevicePrimary : 0);
    return 1;
  }
  const std::optional<std::size_t> position =
      x11::position_of(x11::terminated(device), monitors.size());
  if (!position || device_number != 0) {
    return 0;
  }
  x11::copy_units(device_info->DeviceName, x11::device_name_of(*position) + u"\\Monitor0", 32);
  x11::copy_units(device_info->DeviceString, x11::device_string_of(*c, monitors[*position]), 128);
  device_info->StateFlags = x11::kDisplayDeviceActive | x11::kDisplayDeviceAttached;
  return 1;
}

}  // namespace lumigrab::platform::with_x11
