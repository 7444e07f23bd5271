// The simulated capture engine's controls: what a test uses to feed frames to
// running captures and to choose the graphics device it gets.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

namespace lumigrab::sim {

// One image a monitor or window shows. `pixels` holds `height` rows of
// `row_pitch` bytes each, R, G, B, A per pixel followed by any row padding.
// Left at zero or empty: a row pitch of width * 4, a content size equal to
// the image's size, and the default pattern (pixel (x, y) is x & 0xFF,
// y & 0xFF, 0x80, 0xFF) for pixels.
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

// What sessions made from now on offer: IGraphicsCaptureSession2 (the
// pointer switch), IGraphicsCaptureSession3 (the border switch), and whether
// the border may be turned off. All true unless changed.
// `keeps_border_silently`: a border that may not go is kept with S_OK rather
// than refused with E_ACCESSDENIED.
void set_session_interfaces(bool cursor_switch, bool border_switch, bool may_hide_border,
                            bool keeps_border_silently = false);

// Makes `image` what the monitor or window with this handle value shows, and
// delivers it as a new frame to every started capture of that target. Throws
// std::invalid_argument for an image whose sizes and bytes do not add up.
void present_frame(std::uintptr_t target, FrameImage image);

// How long the capture runtime stays in a device's immediate context each time
// it hands out a frame, recreates buffers or takes a frame back (0 unless
// set; a reset sets it back): widens the window in which another thread
// entering the context without protection is caught.
void set_runtime_context_dwell(std::chrono::microseconds dwell);

// Minimises (or cloaks) the window with this handle value, or restores it: a
// hidden target delivers no frames, not even a starting capture's first; once
// restored, every started capture of it gets what it shows then.
void set_target_hidden(std::uintptr_t target, bool hidden);

// Waits until every frame delivered so far has been dispatched by its capture
// thread (or that thread has gone). False on time-out.
bool wait_frames_delivered(std::chrono::milliseconds timeout);

}  // namespace lumigrab::sim
