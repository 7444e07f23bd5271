// The simulated capture engine's controls: what a test uses to feed frames to
// running captures and to choose the graphics device it gets.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

namespace lumigrab::sim {

// One image a monitor or window shows. `pixels` holds `height` rows of
// `row_pitch` bytes each, R, G, B, A per pixel followed by any row padding.
struct FrameImage {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t content_width = 0;   // the captured content's size; usually
  std::int32_t content_height = 0;  // the same as width and height
  std::uint32_t row_pitch = 0;
  std::vector<std::uint8_t> pixels;
};

// The feature level D3D11CreateDevice obtains (0xB100 unless changed).
void set_feature_level(std::int32_t level);

// Makes `image` what the monitor or window with this handle value shows, and
// delivers it as a new frame to every started capture of that target.
void present_frame(std::uintptr_t target, FrameImage image);

// Waits until every frame delivered so far has been dispatched by its capture
// thread (or that thread has gone). False on time-out.
bool wait_frames_delivered(std::chrono::milliseconds timeout);

}  // namespace lumigrab::sim
