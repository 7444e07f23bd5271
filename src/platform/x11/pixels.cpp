// The one pass over a frame's pixels that the backend makes: from the rows
// the server wrote to the caller's R, G, B, A rows. The common layout, 24-bit
// colour in 32-bit pixels, goes through the byte shuffle the processor runs
// fastest; any other TrueColor layout is scaled channel by channel.
#include "frame/pixels.h"

#include <bit>
#include <cstring>

#include "platform/x11/d3d.h"

namespace lumigrab::x11 {
namespace {

// One channel of a pixel, scaled from its own width to 8 bits, rounded.
class Channel {
 public:
  explicit Channel(std::uint32_t mask) noexcept
      : shift_(mask == 0 ? 0 : std::countr_zero(mask)),
        max_(mask == 0 ? 0 : mask >> shift_),
        mask_(mask) {}

  std::uint8_t operator()(std::uint32_t pixel) const noexcept {
    if (max_ == 0) {
      return 0;
    }
    const std::uint64_t value = (pixel & mask_) >> shift_;
    return static_cast<std::uint8_t>((value * 255 + max_ / 2) / max_);
  }

 private:
  int shift_;
  std::uint32_t max_;
  std::uint32_t mask_;
};

std::uint32_t load(const std::uint8_t* p, std::uint8_t bytes, bool lsb_first) noexcept {
  std::uint32_t value = 0;
  for (std::uint8_t i = 0; i < bytes; ++i) {
    const std::uint32_t byte = p[lsb_first ? i : bytes - 1 - i];
    value |= byte << (8 * i);
  }
  return value;
}

}  // namespace

void server_pixels_to_rgba(const std::uint8_t* from, std::size_t from_pitch, std::uint32_t rows,
                           std::uint32_t width, const PixelLayout& layout, bool lsb_first,
                           std::uint8_t* to, std::size_t to_pitch, bool streaming) noexcept {
  const std::size_t row_bytes = std::size_t{width} * 4;
  if (layout.bits_per_pixel == 32 && lsb_first && layout.red_mask == 0xFF0000 &&
      layout.green_mask == 0xFF00 && layout.blue_mask == 0xFF) {
    using Convert = void (*)(const std::uint8_t*, std::uint8_t*, std::size_t) noexcept;
    const Convert convert = streaming ? static_cast<Convert>(frame::bgrx_to_rgba_streaming)
                                      : static_cast<Convert>(frame::bgrx_to_rgba);
    if (from_pitch == row_bytes && to_pitch == row_bytes) {
      convert(from, to, std::size_t{rows} * width);
      return;
    }
    for (std::size_t y = 0; y < rows; ++y) {
      convert(from + y * from_pitch, to + y * to_pitch, width);
    }
    return;
  }
  const Channel red(layout.red_mask);
  const Channel green(layout.green_mask);
  const Channel blue(layout.blue_mask);
  const auto bytes = static_cast<std::uint8_t>(layout.bits_per_pixel / 8);
  for (std::size_t y = 0; y < rows; ++y) {
    const std::uint8_t* in = from + y * from_pitch;
    std::uint8_t* out = to + y * to_pitch;
    for (std::uint32_t x = 0; x < width; ++x, in += bytes, out += 4) {
      const std::uint32_t pixel = load(in, bytes, lsb_first);
      out[0] = red(pixel);
      out[1] = green(pixel);
      out[2] = blue(pixel);
      out[3] = 0xFF;
    }
  }
}

}  // namespace lumigrab::x11
