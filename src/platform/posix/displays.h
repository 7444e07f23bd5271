// What the POSIX backends' monitor lists share: the rectangles of monitor
// records, device names of the form "\\.\DISPLAYn", and the copying of
// names into user32's fixed-size fields.
#pragma once

#include <cstddef>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/messages.h"
#include "platform/posix/user32_codes.h"
#include "platform/win_types.h"

namespace lumigrab::posix {

// A monitor record is anything with a desktop position `x`, `y` and a size
// `width`, `height`.
template <class Record>
bool contains(const Record& m, win::LONG x, win::LONG y) {
  return x >= m.x && y >= m.y && x < m.x + m.width && y < m.y + m.height;
}

template <class Record>
win::RECT rect_of(const Record& m) {
  return {m.x, m.y, m.x + m.width, m.y + m.height};
}

// Position (from 0) of the monitor that contains the desktop origin.
template <class Record>
std::optional<std::size_t> primary_position(const std::vector<Record>& monitors) {
  for (std::size_t i = 0; i < monitors.size(); ++i) {
    if (contains(monitors[i], 0, 0)) {
      return i;
    }
  }
  return std::nullopt;
}

// The device name of the monitor at `position` (from 0): "\\.\DISPLAY1" for
// the first.
std::u16string device_name_of(std::size_t position);

// The text up to its terminator; empty for a null pointer.
std::u16string_view terminated(const win::WCHAR* text);

// The position a device name of ours stands for, among `count` monitors.
std::optional<std::size_t> position_of(std::u16string_view name, std::size_t count);

// Copies `source` into a field of `capacity` units, cut short to leave room
// for the terminator.
void copy_units(win::WCHAR* destination, std::u16string_view source, std::size_t capacity);

// EnumDisplayMonitors over `monitors`, the handle of each given by
// `handle_of`: 0 when the callback stops it early.
template <class Record, class HandleOf>
win::BOOL enumerate_monitors(const std::vector<Record>& monitors, HandleOf handle_of, win::HDC dc,
                             win::MONITORENUMPROC callback, win::LPARAM data) {
  for (const Record& m : monitors) {
    win::RECT rect = rect_of(m);
    if (callback(handle_of(m), dc, &rect, data) == 0) {
      return 0;  // stopping early makes the enumeration report failure
    }
  }
  return 1;
}

// GetMonitorInfoW for `monitor` among `monitors`, once the caller has checked
// `info` and its size.
template <class Record, class HandleOf>
win::BOOL monitor_info(const std::vector<Record>& monitors, HandleOf handle_of,
                       win::HMONITOR monitor, win::MONITORINFOEXW* info) {
  for (std::size_t i = 0; i < monitors.size(); ++i) {
    if (handle_of(monitors[i]) != monitor) {
      continue;
    }
    info->rcMonitor = rect_of(monitors[i]);
    info->rcWork = info->rcMonitor;
    info->dwFlags = primary_position(monitors) == i ? user32::kMonitorInfoFPrimary : 0;
    if (info->cbSize == sizeof(win::MONITORINFOEXW)) {
      copy_units(info->szDevice, device_name_of(i), std::size(info->szDevice));
    }
    return 1;
  }
  set_last_error(user32::kErrorInvalidMonitorHandle);
  return 0;
}

}  // namespace lumigrab::posix
