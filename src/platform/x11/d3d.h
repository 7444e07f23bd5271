// The X11 backend's Direct3D 11 device, which lives on the CPU: a texture a
// frame arrives in stands for a rectangle of an X drawable, and copying it
// into a staging texture reads that rectangle from the server (through
// MIT-SHM where the server offers it) as R, G, B, A rows.
#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <memory>

#include "platform/abi.h"
#include "platform/com_ptr.h"

namespace lumigrab::x11 {

// What one device shares with its textures: its own X connection, on which
// pixels are read (on whatever thread asks), and the shared-memory segments
// that staging textures reuse.
class DeviceCore;

// The device behind a Windows Runtime device this backend made, or null.
std::shared_ptr<DeviceCore> device_core(abi::IDirect3DDevice* device) noexcept;

// Where a captured image comes from: a rectangle of a drawable whose top-left
// corner is at (x, y). With `cursor`, the pointer is drawn over what is read,
// placed by its position relative to `window`, whose (0, 0) is the drawable's.
struct CaptureSource {
  xcb_drawable_t drawable = XCB_NONE;
  std::int16_t x = 0;
  std::int16_t y = 0;
  bool cursor = false;
  xcb_window_t window = XCB_NONE;
};

// Draws the pointer image `argb` (`width` x `height` premultiplied A, R, G, B
// words) with its top-left corner at (left, top) over `pixels`, R, G, B, A
// rows of `row_bytes` each, clipped to `columns` x `rows`.
void compose_pointer(std::uint8_t* pixels, std::uint32_t row_bytes, std::uint32_t columns,
                     std::uint32_t rows, const std::uint32_t* argb, std::uint32_t width,
                     std::uint32_t height, std::int64_t left, std::int64_t top) noexcept;

// A GPU-side texture showing `source` at this size.
ComPtr<abi::ID3D11Texture2D> make_source_texture(std::shared_ptr<DeviceCore> core,
                                                 CaptureSource source, std::int32_t width,
                                                 std::int32_t height, std::int32_t pixel_format);

// Turns `count` pixels as the server sends them (B, G, R, X in memory when
// `lsb_first`, else X, R, G, B) into R, G, B, A with A 255, in place.
void server_pixels_to_rgba(std::uint8_t* pixels, std::size_t count, bool lsb_first) noexcept;

}  // namespace lumigrab::x11
