// The one pass over a frame's pixels that the backend makes itself: written
// on whole vectors, since g++ leaves the plain per-pixel loop scalar at -O2
// and that loop costs several times the memory traffic it needs.
#include <bit>
#include <cstring>

#include "platform/x11/d3d.h"

namespace lumigrab::x11 {
namespace {

using Lanes = std::uint32_t __attribute__((vector_size(16)));
constexpr std::size_t kLanes = sizeof(Lanes) / sizeof(std::uint32_t);

// B, G, R, X in memory is 0xXXRRGGBB as a little-endian word; R, G, B, A is
// 0xAABBGGRR.
template <typename Word>
Word from_bgrx(Word p) {
  return ((p >> 16) & 0xFFU) | (p & 0xFF00U) | ((p & 0xFFU) << 16) | 0xFF000000U;
}

}  // namespace

namespace {

// Turns 24-bit colour in 32-bit pixels, the common case, on whole vectors.
void bgrx_to_rgba(std::uint8_t* pixels, std::size_t count, bool lsb_first) noexcept {
  if (!lsb_first) {
    for (std::size_t i = 0; i < count; ++i) {
      std::uint8_t* p = pixels + i * 4;
      p[0] = p[1];
      p[1] = p[2];
      p[2] = p[3];
      p[3] = 0xFF;
    }
    return;
  }
  std::size_t i = 0;
  for (; i + kLanes <= count; i += kLanes) {
    Lanes block;
    std::memcpy(&block, pixels + i * 4, sizeof block);
    block = from_bgrx(block);
    std::memcpy(pixels + i * 4, &block, sizeof block);
  }
  for (; i < count; ++i) {
    std::uint32_t p;
    std::memcpy(&p, pixels + i * 4, sizeof p);
    p = from_bgrx(p);
    std::memcpy(pixels + i * 4, &p, sizeof p);
  }
}

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

void server_pixels_to_rgba(std::uint8_t* pixels, std::uint32_t rows, std::uint32_t width,
                           const PixelLayout& layout, bool lsb_first) noexcept {
  const std::uint32_t from_pitch = layout.row_bytes(width);
  const std::uint32_t to_pitch = width * 4;
  if (layout.bits_per_pixel == 32 && from_pitch == to_pitch && layout.red_mask == 0xFF0000 &&
      layout.green_mask == 0xFF00 && layout.blue_mask == 0xFF) {
    bgrx_to_rgba(pixels, std::size_t{rows} * width, lsb_first);
    return;
  }
  const Channel red(layout.red_mask);
  const Channel green(layout.green_mask);
  const Channel blue(layout.blue_mask);
  const auto bytes = static_cast<std::uint8_t>(layout.bits_per_pixel / 8);
  // The rows grow (or keep their size) as they turn into R, G, B, A: going
  // from the last pixel back, each one is read before anything is written
  // over it.
  for (std::uint32_t y = rows; y-- > 0;) {
    const std::uint8_t* from = pixels + std::size_t{y} * from_pitch;
    std::uint8_t* to = pixels + std::size_t{y} * to_pitch;
    for (std::uint32_t x = width; x-- > 0;) {
      const std::uint32_t pixel = load(from + std::size_t{x} * bytes, bytes, lsb_first);
      std::uint8_t* out = to + std::size_t{x} * 4;
      out[0] = red(pixel);
      out[1] = green(pixel);
      out[2] = blue(pixel);
      out[3] = 0xFF;
    }
  }
}

}  // namespace lumigrab::x11
