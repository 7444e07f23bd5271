// The one pass over a frame's pixels that the backend makes itself: written
// on whole vectors, since g++ leaves the plain per-pixel loop scalar at -O2
// and that loop costs several times the memory traffic it needs.
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

void server_pixels_to_rgba(std::uint8_t* pixels, std::size_t count, bool lsb_first) noexcept {
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

}  // namespace lumigrab::x11
