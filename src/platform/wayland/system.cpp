// What the Wayland backend answers itself: its name, whether its desktop can
// be reached, and the capture classes it activates.
#include "platform/linux/operations.h"
#include "platform/posix/runtime.h"
#include "platform/wayland/wayland_internal.h"

namespace lumigrab::platform::with_wayland {

const char* backend_name() noexcept {
  return "wayland";
}

std::optional<std::string> desktop_unreachable() {
  return wayland::unreachable_reason();
}

// As on X11: frames show the pointer only when asked to.
bool cursor_captured_by_default() noexcept {
  return false;
}

HRESULT RoGetActivationFactory(abi::HSTRING class_id, const GUID& iid, void** factory) {
  return posix::get_activation_factory(class_id, iid, factory, &wayland::make_capture_factory);
}

}  // namespace lumigrab::platform::with_wayland
