// Monitors as user32 reports them, made from the compositor's outputs
// (wl_output with xdg-output).
//
// Positions in the compositor's list of outputs name the displays: the output
// at position n is "\\.\DISPLAYn", so that Monitor.index counts as on
// Windows. The primary monitor is the one that contains the desktop origin.

#include <algorithm>
#include <cmath>

#include "platform/linux/operations.h"
#include "platform/posix/displays.h"
#include "platform/posix/messages.h"
#include "platform/posix/user32_codes.h"
#include "platform/wayland/wayland_internal.h"

namespace lumigrab::wayland {
namespace {

using namespace posix::user32;  // NOLINT(google-build-using-namespace)
using posix::contains;
using posix::copy_units;
using posix::device_name_of;
using posix::position_of;
using posix::primary_position;
using posix::rect_of;
using posix::terminated;

HMONITOR monitor_of(const OutputRecord& o) {
  return reinterpret_cast<HMONITOR>(static_cast<std::uintptr_t>(o.global));
}

}  // namespace

std::optional<std::vector<OutputRecord>> list_outputs() {
  const std::shared_ptr<Connection> c = shared_connection();
  if (!c) {
    return std::nullopt;
  }
  const std::lock_guard lock(c->use_mutex());
  // One exchange takes in what changed (outputs added or removed, modes);
  // a second what outputs added meanwhile say of themselves.
  if (!c->roundtrip() || !c->roundtrip()) {
    return std::nullopt;
  }
  return c->outputs();
}

std::optional<OutputRecord> find_output(HMONITOR monitor) {
  const auto outputs = list_outputs();
  if (!outputs) {
    return std::nullopt;
  }
  for (const OutputRecord& o : *outputs) {
    if (monitor_of(o) == monitor) {
      return o;
    }
  }
  return std::nullopt;
}

}  // namespace lumigrab::wayland

namespace lumigrab::platform::with_wayland {

namespace wayland = lumigrab::wayland;

HMONITOR MonitorFromPoint(POINT point, DWORD flags) {
  const auto outputs = wayland::list_outputs();
  if (!outputs) {
    return nullptr;
  }
  for (const wayland::OutputRecord& o : *outputs) {
    if (wayland::contains(o, point.x, point.y)) {
      return wayland::monitor_of(o);
    }
  }
  if (flags == posix::user32::kMonitorDefaultToPrimary ||
      flags == posix::user32::kMonitorDefaultToNearest) {
    if (const auto primary = wayland::primary_position(*outputs)) {
      return wayland::monitor_of((*outputs)[*primary]);
    }
  }
  return nullptr;
}

BOOL EnumDisplayMonitors(HDC dc, const RECT* /*clip*/, MONITORENUMPROC callback, LPARAM data) {
  if (callback == nullptr) {
    posix::set_last_error(posix::kErrorInvalidParameter);
    return 0;
  }
  const auto outputs = wayland::list_outputs();
  if (!outputs) {
    posix::set_last_error(wayland::kErrorDeviceNotConnected);
    return 0;
  }
  return posix::enumerate_monitors(*outputs, &wayland::monitor_of, dc, callback, data);
}

BOOL GetMonitorInfoW(HMONITOR monitor, MONITORINFOEXW* info) {
  if (info == nullptr ||
      (info->cbSize != posix::user32::kMonitorInfoSize && info->cbSize != sizeof(MONITORINFOEXW))) {
    posix::set_last_error(posix::kErrorInvalidParameter);
    return 0;
  }
  const auto outputs = wayland::list_outputs().value_or(std::vector<wayland::OutputRecord>{});
  return posix::monitor_info(outputs, &wayland::monitor_of, monitor, info);
}

BOOL EnumDisplaySettingsW(const WCHAR* device_name, DWORD mode_number, DEVMODEW* mode) {
  if (mode == nullptr) {
    posix::set_last_error(posix::kErrorInvalidParameter);
    return 0;
  }
  const bool known_mode = mode_number == ENUM_CURRENT_SETTINGS_ ||
                          mode_number == posix::user32::kEnumRegistrySettings || mode_number == 0;
  if (!known_mode) {
    return 0;
  }
  const auto outputs = wayland::list_outputs();
  if (!outputs) {
    return 0;
  }
  const std::optional<std::size_t> position =
      device_name == nullptr
          ? wayland::primary_position(*outputs)
          : wayland::position_of(wayland::terminated(device_name), outputs->size());
  if (!position) {
    return 0;
  }
  const wayland::OutputRecord& found = (*outputs)[*position];
  mode->dmFields = posix::user32::kDisplayModeFields;
  mode->u1.display.dmPosition = {found.x, found.y};
  mode->dmBitsPerPel = 32;
  mode->dmPelsWidth = static_cast<DWORD>(found.width);
  mode->dmPelsHeight = static_cast<DWORD>(found.height);
  mode->dmDisplayFrequency =
      static_cast<DWORD>(std::lround(std::max(0, found.refresh_mhz) / 1000.0));
  return 1;
}

BOOL EnumDisplayDevicesW(const WCHAR* device, DWORD device_number, DISPLAY_DEVICEW* device_info,
                         DWORD /*flags*/) {
  if (device_info == nullptr || device_info->cb < offsetof(DISPLAY_DEVICEW, DeviceID)) {
    posix::set_last_error(posix::kErrorInvalidParameter);
    return 0;
  }
  const auto outputs = wayland::list_outputs();
  if (!outputs) {
    return 0;
  }
  if (device == nullptr) {
    // The display adapters: one per monitor, as each monitor's own output.
    if (device_number >= outputs->size()) {
      return 0;
    }
    wayland::copy_units(device_info->DeviceName, wayland::device_name_of(device_number), 32);
    wayland::copy_units(device_info->DeviceString, u"Wayland display", 128);
    device_info->StateFlags =
        posix::user32::kDisplayDeviceAttachedToDesktop |
        (wayland::primary_position(*outputs) == device_number ? posix::user32::kDisplayDevicePrimary
                                                              : 0);
    return 1;
  }
  const std::optional<std::size_t> position =
      wayland::position_of(wayland::terminated(device), outputs->size());
  if (!position || device_number != 0) {
    return 0;
  }
  // The device string: the output's description, else its name.
  const wayland::OutputRecord& found = (*outputs)[*position];
  wayland::copy_units(device_info->DeviceName, wayland::device_name_of(*position) + u"\\Monitor0",
                      32);
  wayland::copy_units(
      device_info->DeviceString,
      wayland::utf16_from_utf8(found.description.empty() ? found.name : found.description), 128);
  device_info->StateFlags =
      posix::user32::kDisplayDeviceActive | posix::user32::kDisplayDeviceAttached;
  return 1;
}

}  // namespace lumigrab::platform::with_wayland
