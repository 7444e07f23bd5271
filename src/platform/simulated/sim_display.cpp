// Monitors and their display settings, as user32 reports them.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/platform.h"
#include "platform/posix/user32_codes.h"
#include "platform/simulated/sim_core.h"
#include "platform/simulated/sim_internal.h"

namespace lumigrab::sim {
namespace {

using detail::handle_text;
using detail::hex;
using namespace posix::user32;  // NOLINT(google-build-using-namespace)

constexpr DWORD kErrorInvalidParameter = 87;

struct Monitor {
  std::uintptr_t handle;
  MonitorSpec spec;
  bool connected = true;
};

struct Display {
  std::mutex mutex;
  std::vector<Monitor> monitors;  // in connection order, which is enumeration order
  std::uintptr_t primary = 0;
  std::uintptr_t next_handle = 0x10001;
};

// What a process sees before any test scripts the desktop, and all that the
// shipped build without a screen backend ever shows.
void connect_default_monitor(Display& display) {
  MonitorSpec spec;
  spec.device_string =
      fixed_units<128>(u"lumigrab simulated display (no screen backend in this build)");
  spec.primary = true;
  const std::uintptr_t handle = display.next_handle++;
  display.monitors.push_back({handle, spec});
  display.primary = handle;
}

Display& display() {
  static Display* const instance = [] {
    auto* created = new Display();
    connect_default_monitor(*created);
    return created;
  }();
  return *instance;
}

std::uintptr_t value_of(HMONITOR monitor) {
  return reinterpret_cast<std::uintptr_t>(monitor);
}
HMONITOR monitor_of(std::uintptr_t value) {
  return reinterpret_cast<HMONITOR>(value);
}

const Monitor* find_connected(const Display& d, std::uintptr_t handle) {
  for (const Monitor& monitor : d.monitors) {
    if (monitor.handle == handle && monitor.connected) {
      return &monitor;
    }
  }
  return nullptr;
}

const Monitor* find_by_device(const Display& d, std::u16string_view device) {
  for (const Monitor& monitor : d.monitors) {
    if (monitor.connected &&
        detail::up_to_zero(monitor.spec.device.data(), monitor.spec.device.size()) == device) {
      return &monitor;
    }
  }
  return nullptr;
}

// The primary monitor sits at the desktop origin, the others to its right in
// connection order.
RECT rect_of(const Display& d, const Monitor& target) {
  LONG left = 0;
  if (const Monitor* primary = find_connected(d, d.primary)) {
    if (primary == &target) {
      return {0, 0, static_cast<LONG>(target.spec.width), static_cast<LONG>(target.spec.height)};
    }
    left = static_cast<LONG>(primary->spec.width);
  }
  for (const Monitor& monitor : d.monitors) {
    if (&monitor == &target) {
      break;
    }
    if (monitor.connected && monitor.handle != d.primary) {
      left += static_cast<LONG>(monitor.spec.width);
    }
  }
  return {left, 0, left + static_cast<LONG>(target.spec.width),
          static_cast<LONG>(target.spec.height)};
}

std::string rect_text(const RECT* rect) {
  if (rect == nullptr) {
    return "NULL";
  }
  return "(" + std::to_string(rect->left) + ", " + std::to_string(rect->top) + ", " +
         std::to_string(rect->right) + ", " + std::to_string(rect->bottom) + ")";
}

void copy_units(WCHAR* destination, std::u16string_view source, std::size_t capacity) {
  const std::size_t count = std::min(source.size(), capacity - 1);
  std::copy_n(source.begin(), count, destination);
  destination[count] = 0;
}

}  // namespace

HMONITOR add_monitor(const MonitorSpec& spec) {
  auto& d = display();
  const std::lock_guard lock(d.mutex);
  const std::uintptr_t handle = d.next_handle++;
  d.monitors.push_back({handle, spec});
  if (spec.primary) {
    d.primary = handle;
  }
  return monitor_of(handle);
}

bool remove_monitor(HMONITOR monitor) {
  auto& d = display();
  const std::lock_guard lock(d.mutex);
  for (Monitor& candidate : d.monitors) {
    if (candidate.handle == value_of(monitor) && candidate.connected) {
      candidate.connected = false;
      if (d.primary == candidate.handle) {
        d.primary = 0;
      }
      return true;
    }
  }
  return false;
}

void set_primary_monitor(HMONITOR monitor) {
  auto& d = display();
  const std::lock_guard lock(d.mutex);
  d.primary = value_of(monitor);
}

std::optional<std::pair<std::int32_t, std::int32_t>> monitor_capture_size(HMONITOR monitor) {
  auto& d = display();
  const std::lock_guard lock(d.mutex);
  const Monitor* found = find_connected(d, value_of(monitor));
  if (found == nullptr) {
    return std::nullopt;
  }
  return std::pair{static_cast<std::int32_t>(found->spec.width),
                   static_cast<std::int32_t>(found->spec.height)};
}

namespace {

std::atomic<std::uint32_t> g_display_scale{100};
// Every thread starts DPI unaware, as in a process whose manifest says nothing.
thread_local std::intptr_t t_dpi_context = DPI_AWARENESS_CONTEXT_UNAWARE_;

}  // namespace

void set_display_scale(std::uint32_t percent) {
  g_display_scale.store(percent == 0 ? 100 : percent);
}

LONG detail::scaled_for_thread(LONG physical) {
  if (t_dpi_context == DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_ ||
      t_dpi_context == DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2_) {
    return physical;
  }
  // Rounded to nearest, as MulDiv does.
  const std::int64_t scale = g_display_scale.load();
  const std::int64_t scaled = std::int64_t{physical} * 100;
  return static_cast<LONG>((scaled + (scaled >= 0 ? scale / 2 : -scale / 2)) / scale);
}

DPI_AWARENESS_CONTEXT detail::set_thread_dpi_context(DPI_AWARENESS_CONTEXT context) {
  const auto value = reinterpret_cast<std::intptr_t>(context);
  if (value > -1 || value < -5) {
    set_last_error(kErrorInvalidParameter);
    return nullptr;
  }
  const std::intptr_t previous = t_dpi_context;
  t_dpi_context = value;
  return dpi_awareness_context(previous);
}

void detail::reset_display() {
  auto& d = display();
  const std::lock_guard lock(d.mutex);
  d.monitors.clear();
  d.primary = 0;
  g_display_scale.store(100);
  t_dpi_context = DPI_AWARENESS_CONTEXT_UNAWARE_;
}

}  // namespace lumigrab::sim

namespace lumigrab::platform {

using sim::detail::handle_text;
using sim::detail::hex;

HMONITOR MonitorFromPoint(POINT point, DWORD flags) {
  sim::log_call("MonitorFromPoint(" + std::to_string(point.x) + ", " + std::to_string(point.y) +
                ", " + std::to_string(flags) + ")");
  if (sim::detail::fails("MonitorFromPoint")) {
    return nullptr;
  }
  auto& d = sim::display();
  const std::lock_guard lock(d.mutex);
  // The origin belongs to whatever the desktop calls primary, even a value no
  // monitor has: that is how a test makes the system answer oddly.
  if (point.x == 0 && point.y == 0) {
    return sim::monitor_of(d.primary);
  }
  for (const sim::Monitor& monitor : d.monitors) {
    if (!monitor.connected) {
      continue;
    }
    const RECT rect = sim::rect_of(d, monitor);
    if (point.x >= rect.left && point.x < rect.right && point.y >= rect.top &&
        point.y < rect.bottom) {
      return sim::monitor_of(monitor.handle);
    }
  }
  if (flags == sim::kMonitorDefaultToPrimary || flags == sim::kMonitorDefaultToNearest) {
    return sim::monitor_of(d.primary);
  }
  return nullptr;
}

BOOL EnumDisplayMonitors(HDC dc, const RECT* clip, MONITORENUMPROC callback, LPARAM data) {
  sim::log_call("EnumDisplayMonitors(" + handle_text(dc) + ", " + sim::rect_text(clip) + ")");
  if (sim::detail::fails("EnumDisplayMonitors")) {
    return 0;
  }
  if (callback == nullptr) {
    sim::set_last_error(sim::kErrorInvalidParameter);
    return 0;
  }
  std::vector<std::pair<std::uintptr_t, RECT>> found;
  {
    auto& d = sim::display();
    const std::lock_guard lock(d.mutex);
    for (const sim::Monitor& monitor : d.monitors) {
      if (monitor.connected) {
        found.emplace_back(monitor.handle, sim::rect_of(d, monitor));
      }
    }
  }
  // The callback runs without the lock: it may ask about the monitor.
  for (auto& [handle, rect] : found) {
    if (callback(sim::monitor_of(handle), dc, &rect, data) == 0) {
      return 0;  // stopping early makes the enumeration report failure
    }
  }
  return 1;
}

BOOL GetMonitorInfoW(HMONITOR monitor, MONITORINFOEXW* info) {
  std::string entry = "GetMonitorInfoW(" + handle_text(monitor) + ", ";
  if (info == nullptr) {
    entry += "NULL)";
  } else {
    entry += "cbSize=" + std::to_string(info->cbSize);
    const std::size_t checked = std::min<std::size_t>(info->cbSize, sizeof(MONITORINFOEXW));
    if (sim::detail::any_nonzero(info, sizeof info->cbSize, checked)) {
      entry += ", dirty";
    }
    entry += ")";
  }
  sim::log_call(std::move(entry));
  if (sim::detail::fails("GetMonitorInfoW")) {
    return 0;
  }
  if (info == nullptr ||
      (info->cbSize != sim::kMonitorInfoSize && info->cbSize != sizeof(MONITORINFOEXW))) {
    sim::set_last_error(sim::kErrorInvalidParameter);
    return 0;
  }
  auto& d = sim::display();
  const std::lock_guard lock(d.mutex);
  const sim::Monitor* found = sim::find_connected(d, sim::value_of(monitor));
  if (found == nullptr) {
    sim::set_last_error(sim::kErrorInvalidMonitorHandle);
    return 0;
  }
  const RECT rect = sim::rect_of(d, *found);
  info->rcMonitor = {
      sim::detail::scaled_for_thread(rect.left), sim::detail::scaled_for_thread(rect.top),
      sim::detail::scaled_for_thread(rect.right), sim::detail::scaled_for_thread(rect.bottom)};
  info->rcWork = info->rcMonitor;
  info->dwFlags = found->handle == d.primary ? sim::kMonitorInfoFPrimary : 0;
  if (info->cbSize == sizeof(MONITORINFOEXW)) {
    // Copied raw: a name that fills all 32 units comes without a terminator.
    std::copy(found->spec.device.begin(), found->spec.device.end(), info->szDevice);
  }
  return 1;
}

BOOL EnumDisplaySettingsW(const WCHAR* device_name, DWORD mode_number, DEVMODEW* mode) {
  std::string entry = "EnumDisplaySettingsW(" + sim::detail::quoted_argument(device_name) + ", " +
                      hex(mode_number) + ", ";
  if (mode == nullptr) {
    entry += "NULL)";
  } else {
    entry += "dmSize=" + std::to_string(mode->dmSize) +
             ", dmDriverExtra=" + std::to_string(mode->dmDriverExtra);
    const std::size_t size_at = offsetof(DEVMODEW, dmSize);
    if (sim::detail::any_nonzero(mode, 0, size_at) ||
        sim::detail::any_nonzero(mode, size_at + sizeof mode->dmSize, sizeof(DEVMODEW))) {
      entry += ", dirty";
    }
    entry += ")";
  }
  sim::log_call(std::move(entry));
  if (sim::detail::fails("EnumDisplaySettingsW")) {
    return 0;
  }
  if (mode == nullptr) {
    sim::set_last_error(sim::kErrorInvalidParameter);
    return 0;
  }
  auto& d = sim::display();
  const std::lock_guard lock(d.mutex);
  const sim::Monitor* found = device_name == nullptr
                                  ? sim::find_connected(d, d.primary)
                                  : sim::find_by_device(d, sim::detail::terminated(device_name));
  const bool known_mode = mode_number == ENUM_CURRENT_SETTINGS_ ||
                          mode_number == sim::kEnumRegistrySettings || mode_number == 0;
  if (found == nullptr || !found->spec.settings || !known_mode) {
    return 0;
  }
  const RECT rect = sim::rect_of(d, *found);
  mode->dmFields = sim::kDisplayModeFields;
  mode->u1.display.dmPosition = {rect.left, rect.top};
  mode->dmBitsPerPel = 32;
  mode->dmPelsWidth = found->spec.width;
  mode->dmPelsHeight = found->spec.height;
  mode->dmDisplayFrequency = found->spec.refresh_rate;
  return 1;
}

BOOL EnumDisplayDevicesW(const WCHAR* device, DWORD device_number, DISPLAY_DEVICEW* device_info,
                         DWORD flags) {
  std::string entry = "EnumDisplayDevicesW(" + sim::detail::quoted_argument(device) + ", " +
                      std::to_string(device_number) + ", ";
  entry += device_info == nullptr ? std::string("NULL") : "cb=" + std::to_string(device_info->cb);
  entry += ", flags=" + std::to_string(flags);
  if (device_info != nullptr &&
      sim::detail::any_nonzero(device_info, sizeof device_info->cb, sizeof(DISPLAY_DEVICEW))) {
    entry += ", dirty";
  }
  entry += ")";
  sim::log_call(std::move(entry));
  if (sim::detail::fails("EnumDisplayDevicesW")) {
    return 0;
  }
  if (device_info == nullptr || device_info->cb < offsetof(DISPLAY_DEVICEW, DeviceID)) {
    sim::set_last_error(sim::kErrorInvalidParameter);
    return 0;
  }
  auto& d = sim::display();
  const std::lock_guard lock(d.mutex);
  if (device == nullptr) {
    // The display adapters, one per connected monitor.
    DWORD index = 0;
    for (const sim::Monitor& monitor : d.monitors) {
      if (!monitor.connected || index++ != device_number) {
        continue;
      }
      std::copy(monitor.spec.device.begin(), monitor.spec.device.end(), device_info->DeviceName);
      sim::copy_units(device_info->DeviceString, u"Simulated Display Adapter", 128);
      device_info->StateFlags = sim::kDisplayDeviceAttachedToDesktop |
                                (monitor.handle == d.primary ? sim::kDisplayDevicePrimary : 0);
      return 1;
    }
    return 0;
  }
  // The monitors on one adapter: each adapter drives exactly one.
  const sim::Monitor* found = sim::find_by_device(d, sim::detail::terminated(device));
  if (found == nullptr || device_number != 0) {
    return 0;
  }
  std::u16string name(sim::detail::up_to_zero(found->spec.device.data(), 32));
  name += u"\\Monitor0";
  sim::copy_units(device_info->DeviceName, name, 32);
  std::copy(found->spec.device_string.begin(), found->spec.device_string.end(),
            device_info->DeviceString);
  device_info->StateFlags = sim::kDisplayDeviceActive | sim::kDisplayDeviceAttached;
  return 1;
}

}  // namespace lumigrab::platform
