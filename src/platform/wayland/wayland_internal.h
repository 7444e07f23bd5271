// What the parts of the Wayland backend share among themselves.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/abi.h"
#include "platform/com_ptr.h"
#include "platform/wayland/connection.h"
#include "platform/win_types.h"

namespace lumigrab::x11 {
// Titles and names in UTF-8, as the X11 backend turns them into UTF-16.
std::u16string utf16_from_utf8(std::string_view bytes);
}  // namespace lumigrab::x11

namespace lumigrab::wayland {

using namespace lumigrab::win;  // NOLINT(google-build-using-namespace)

// The last error of a display or window enumeration that has no compositor
// to ask (ERROR_DEVICE_NOT_CONNECTED).
inline constexpr DWORD kErrorDeviceNotConnected = 1167;

// --- monitors (display.cpp) ---
// The outputs as the compositor describes them now, in its order; nothing
// without a compositor.
std::optional<std::vector<OutputRecord>> list_outputs();
std::optional<OutputRecord> find_output(HMONITOR monitor);

using x11::utf16_from_utf8;

// --- capture (capture.cpp) ---
// The activation factory of a capture class, or null for any other class.
ComPtr<abi::IActivationFactory> make_capture_factory(std::u16string_view class_name);

}  // namespace lumigrab::wayland
