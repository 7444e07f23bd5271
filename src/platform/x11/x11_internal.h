// What the parts of the X11 backend share among themselves.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/win_types.h"
#include "platform/x11/connection.h"
#include "platform/x11/xcb.h"

namespace lumigrab::x11 {

using namespace lumigrab::win;  // NOLINT(google-build-using-namespace)

// The last error of a display or window enumeration that has no server to ask
// (ERROR_DEVICE_NOT_CONNECTED).
inline constexpr DWORD kErrorDeviceNotConnected = 1167;

// --- monitors (display.cpp) ---
// One RandR monitor. Its handle is the atom of its name, which the server
// keeps unique while the monitor exists; a server without RandR monitors
// shows the whole screen as one monitor of handle kWholeScreen.
struct MonitorRecord {
  std::uintptr_t handle = 0;
  std::int16_t x = 0;
  std::int16_t y = 0;
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  std::vector<std::uint32_t> outputs;  // RandR outputs, possibly none
};
inline constexpr std::uintptr_t kWholeScreen = 1;
// The monitors in the server's order.
std::vector<MonitorRecord> list_monitors(const Connection& c);
std::optional<MonitorRecord> find_monitor(const Connection& c, HMONITOR monitor);

// --- windows (windows.cpp) ---
HWND window_handle(xcb_window_t window);
xcb_window_t window_id(HWND window);
// The window's size, or nothing when it is gone.
std::optional<std::pair<std::uint16_t, std::uint16_t>> window_size(const Connection& c,
                                                                   xcb_window_t window);

// --- text (text.cpp) ---
std::u16string utf16_from_utf8(std::string_view bytes);
std::u16string utf16_from_latin1(std::string_view bytes);

}  // namespace lumigrab::x11

#include "platform/abi.h"
#include "platform/com_ptr.h"

namespace lumigrab::x11 {

// --- capture (capture.cpp) ---
// The activation factory of a capture class, or null for any other class.
ComPtr<abi::IActivationFactory> make_capture_factory(std::u16string_view class_name);

}  // namespace lumigrab::x11
