// The X11 backend's Direct3D 11 device, which lives on the CPU: a texture a
// frame arrives in stands for a rectangle of an X drawable, and copying it
// into a staging texture reads that rectangle from the server (through
// MIT-SHM where the server offers it) as R, G, B, A rows.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/abi.h"
#include "platform/com_ptr.h"
#include "platform/x11/xcb.h"

namespace lumigrab::x11 {

// What one device shares with its textures: its own X connection, on which
// pixels are read (on whatever thread asks), and the shared-memory segments
// that staging textures reuse.
class DeviceCore;

// The device behind a Windows Runtime device this backend made, or null.
std::shared_ptr<DeviceCore> device_core(abi::IDirect3DDevice* device) noexcept;

// How the server lays out the pixels of a drawable in a Z-format image:
// TrueColor pixels of 16 or 32 bits with the channels where the masks say.
struct PixelLayout {
  std::uint8_t bits_per_pixel = 32;
  std::uint8_t scanline_pad = 32;  // rows are padded to a multiple of this many bits
  std::uint32_t red_mask = 0xFF0000;
  std::uint32_t green_mask = 0xFF00;
  std::uint32_t blue_mask = 0xFF;

  std::uint32_t row_bytes(std::uint32_t width) const noexcept {
    const std::uint32_t pad = scanline_pad / 8U;
    return (width * bits_per_pixel / 8U + pad - 1) / pad * pad;
  }
};

// A window's off-screen storage (Composite), named as a pixmap that this
// object frees. The pixmap keeps the contents the window last showed after
// the window is unmapped, destroyed or resized, which then get storage of
// their own.
class WindowPixmap;

// Where a captured image comes from: a rectangle of a drawable whose top-left
// corner is at (x, y), with the drawable's pixel layout. A window's image is
// read from its pixmap, which the source keeps alive. With `cursor`, the
// pointer is drawn over what is read, placed by its position relative to
// `window`, whose (0, 0) is at (window_x, window_y) in the drawable.
struct CaptureSource {
  xcb_drawable_t drawable = XCB_NONE;
  std::int16_t x = 0;
  std::int16_t y = 0;
  PixelLayout layout;
  std::shared_ptr<const WindowPixmap> pixmap;
  bool cursor = false;
  xcb_window_t window = XCB_NONE;
  std::int16_t window_x = 0;
  std::int16_t window_y = 0;
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

// Turns `rows` rows of `width` pixels as the server sends them, at `from`,
// `from_pitch` bytes apart (laid out as `layout` says, in the server's byte
// order), into R, G, B, A rows at `to`, `to_pitch` bytes apart, with A 255.
// `streaming` writes around the caches, for part of a large frame.
void server_pixels_to_rgba(const std::uint8_t* from, std::size_t from_pitch, std::uint32_t rows,
                           std::uint32_t width, const PixelLayout& layout, bool lsb_first,
                           std::uint8_t* to, std::size_t to_pitch, bool streaming) noexcept;

}  // namespace lumigrab::x11
