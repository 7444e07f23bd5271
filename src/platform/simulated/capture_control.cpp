// The capture engine's controls as C functions, for tests that drive the
// simulated desktop from Python through ctypes. Test builds only.
#ifdef LUMIGRAB_TEST_HOOKS

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "platform/simulated/sim_capture.h"
#include "platform/simulated/sim_objects.h"

#define LUMIGRAB_SIM_EXPORT extern "C" __attribute__((visibility("default")))

// Makes D3D11CreateDevice obtain at most `level`.
LUMIGRAB_SIM_EXPORT int lumigrab_sim_set_feature_level(std::int32_t level) {
  lumigrab::sim::set_feature_level(level);
  return 0;
}

// Which session interfaces sessions offer, and whether the border may go.
LUMIGRAB_SIM_EXPORT int lumigrab_sim_set_session_interfaces(int cursor_switch, int border_switch,
                                                            int may_hide_border,
                                                            int keeps_border_silently) {
  lumigrab::sim::set_session_interfaces(cursor_switch != 0, border_switch != 0,
                                        may_hide_border != 0, keeps_border_silently != 0);
  return 0;
}

// Presents an image to the monitor or window `target`. `pixels` (may be null
// for the default pattern) holds `length` bytes; a zero `row_pitch` means
// width * 4 and a zero content size means the image's size. 0 on success, -1
// for an image that does not add up.
LUMIGRAB_SIM_EXPORT int lumigrab_sim_present(std::uintptr_t target, std::int32_t width,
                                             std::int32_t height, const std::uint8_t* pixels,
                                             std::size_t length, std::uint32_t row_pitch,
                                             std::int32_t content_width,
                                             std::int32_t content_height) {
  try {
    lumigrab::sim::FrameImage image;
    image.width = width;
    image.height = height;
    image.content_width = content_width;
    image.content_height = content_height;
    image.row_pitch = row_pitch;
    if (pixels != nullptr) {
      image.pixels.assign(pixels, pixels + length);
    }
    lumigrab::sim::present_frame(target, std::move(image));
    return 0;
  } catch (const std::exception&) {
    return -1;
  }
}

LUMIGRAB_SIM_EXPORT int lumigrab_sim_set_hidden(std::uintptr_t target, int hidden) {
  lumigrab::sim::set_target_hidden(target, hidden != 0);
  return 0;
}

LUMIGRAB_SIM_EXPORT int lumigrab_sim_set_context_dwell(std::int64_t microseconds) {
  lumigrab::sim::set_runtime_context_dwell(std::chrono::microseconds(microseconds));
  return 0;
}

// 1 once every frame delivered so far has been dispatched, 0 on time-out.
LUMIGRAB_SIM_EXPORT int lumigrab_sim_wait_delivered(std::int64_t timeout_ms) {
  return lumigrab::sim::wait_frames_delivered(std::chrono::milliseconds(timeout_ms)) ? 1 : 0;
}

// Makes `name` a loadable library exporting DllGetActivationFactory for the
// capture classes. 0 on success, -1 on failure.
LUMIGRAB_SIM_EXPORT int lumigrab_sim_register_capture_library(const char* name, int with_interop) {
  if (name == nullptr) {
    return -1;
  }
  try {
    lumigrab::sim::register_capture_library(name, with_interop != 0);
    return 0;
  } catch (const std::exception&) {
    return -1;
  }
}

#endif  // LUMIGRAB_TEST_HOOKS
