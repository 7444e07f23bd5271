#include "frame/pixels.h"

#include <cstring>
#include <initializer_list>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define LUMIGRAB_X86_KERNELS 1
#include <immintrin.h>
#endif

namespace lumigrab::frame {
namespace {

// B, G, R, X in memory is 0xXXRRGGBB as a little-endian word; R, G, B, A is
// 0xAABBGGRR. Plain word arithmetic, which the compiler widens to whatever
// vectors the build targets.
void scalar(const std::uint8_t* from, std::uint8_t* to, std::size_t count) noexcept {
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t p;
    std::memcpy(&p, from + i * 4, sizeof p);
    p = ((p >> 16) & 0xFFU) | (p & 0xFF00U) | ((p & 0xFFU) << 16) | 0xFF000000U;
    std::memcpy(to + i * 4, &p, sizeof p);
  }
}

#ifdef LUMIGRAB_X86_KERNELS

// Each pixel's bytes 2, 1, 0 go to 0, 1, 2; byte 3 comes from the alpha mask.
__attribute__((target("ssse3"))) void ssse3(const std::uint8_t* from, std::uint8_t* to,
                                            std::size_t count) noexcept {
  const __m128i order = _mm_setr_epi8(2, 1, 0, -1, 6, 5, 4, -1, 10, 9, 8, -1, 14, 13, 12, -1);
  const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xFF000000U));
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i * 4));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i * 4 + 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i * 4),
                     _mm_or_si128(_mm_shuffle_epi8(a, order), alpha));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i * 4 + 16),
                     _mm_or_si128(_mm_shuffle_epi8(b, order), alpha));
  }
  scalar(from + i * 4, to + i * 4, count - i);
}

__attribute__((target("avx2"))) void avx2(const std::uint8_t* from, std::uint8_t* to,
                                          std::size_t count) noexcept {
  const __m256i order = _mm256_setr_epi8(2, 1, 0, -1, 6, 5, 4, -1, 10, 9, 8, -1, 14, 13, 12, -1, 2,
                                         1, 0, -1, 6, 5, 4, -1, 10, 9, 8, -1, 14, 13, 12, -1);
  const __m256i alpha = _mm256_set1_epi32(static_cast<int>(0xFF000000U));
  std::size_t i = 0;
  for (; i + 16 <= count; i += 16) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + i * 4));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + i * 4 + 32));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + i * 4),
                        _mm256_or_si256(_mm256_shuffle_epi8(a, order), alpha));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + i * 4 + 32),
                        _mm256_or_si256(_mm256_shuffle_epi8(b, order), alpha));
  }
  scalar(from + i * 4, to + i * 4, count - i);
}

// The streaming kernels: the pixels before `to` reaches a whole vector go
// the plain way, then each vector is stored around the caches. A destination
// that is not 4-byte aligned never reaches one and goes the usual way.
__attribute__((target("ssse3"))) void ssse3_streaming(const std::uint8_t* from, std::uint8_t* to,
                                                      std::size_t count) noexcept {
  if (reinterpret_cast<std::uintptr_t>(to) % 4 != 0) {
    ssse3(from, to, count);
    return;
  }
  std::size_t i = 0;
  for (; i < count && reinterpret_cast<std::uintptr_t>(to + i * 4) % 16 != 0; ++i) {
    scalar(from + i * 4, to + i * 4, 1);
  }
  const __m128i order = _mm_setr_epi8(2, 1, 0, -1, 6, 5, 4, -1, 10, 9, 8, -1, 14, 13, 12, -1);
  const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xFF000000U));
  for (; i + 8 <= count; i += 8) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i * 4));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i * 4 + 16));
    _mm_stream_si128(reinterpret_cast<__m128i*>(to + i * 4),
                     _mm_or_si128(_mm_shuffle_epi8(a, order), alpha));
    _mm_stream_si128(reinterpret_cast<__m128i*>(to + i * 4 + 16),
                     _mm_or_si128(_mm_shuffle_epi8(b, order), alpha));
  }
  // Streamed stores are ordered before whatever the caller does next.
  _mm_sfence();
  scalar(from + i * 4, to + i * 4, count - i);
}

__attribute__((target("avx2"))) void avx2_streaming(const std::uint8_t* from, std::uint8_t* to,
                                                    std::size_t count) noexcept {
  if (reinterpret_cast<std::uintptr_t>(to) % 4 != 0) {
    avx2(from, to, count);
    return;
  }
  std::size_t i = 0;
  for (; i < count && reinterpret_cast<std::uintptr_t>(to + i * 4) % 32 != 0; ++i) {
    scalar(from + i * 4, to + i * 4, 1);
  }
  const __m256i order = _mm256_setr_epi8(2, 1, 0, -1, 6, 5, 4, -1, 10, 9, 8, -1, 14, 13, 12, -1, 2,
                                         1, 0, -1, 6, 5, 4, -1, 10, 9, 8, -1, 14, 13, 12, -1);
  const __m256i alpha = _mm256_set1_epi32(static_cast<int>(0xFF000000U));
  for (; i + 16 <= count; i += 16) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + i * 4));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + i * 4 + 32));
    _mm256_stream_si256(reinterpret_cast<__m256i*>(to + i * 4),
                        _mm256_or_si256(_mm256_shuffle_epi8(a, order), alpha));
    _mm256_stream_si256(reinterpret_cast<__m256i*>(to + i * 4 + 32),
                        _mm256_or_si256(_mm256_shuffle_epi8(b, order), alpha));
  }
  _mm_sfence();
  scalar(from + i * 4, to + i * 4, count - i);
}

#endif

}  // namespace

bool kernel_supported(PixelKernel kernel) noexcept {
  switch (kernel) {
    case PixelKernel::Scalar: return true;
#ifdef LUMIGRAB_X86_KERNELS
    case PixelKernel::Ssse3: __builtin_cpu_init(); return __builtin_cpu_supports("ssse3") != 0;
    case PixelKernel::Avx2: __builtin_cpu_init(); return __builtin_cpu_supports("avx2") != 0;
#else
    case PixelKernel::Ssse3:
    case PixelKernel::Avx2: return false;
#endif
  }
  return false;
}

PixelKernel best_kernel() noexcept {
  static const PixelKernel best = [] {
    for (const PixelKernel kernel : {PixelKernel::Avx2, PixelKernel::Ssse3}) {
      if (kernel_supported(kernel)) {
        return kernel;
      }
    }
    return PixelKernel::Scalar;
  }();
  return best;
}

void bgrx_to_rgba(PixelKernel kernel, const std::uint8_t* from, std::uint8_t* to,
                  std::size_t count) noexcept {
  switch (kernel) {
#ifdef LUMIGRAB_X86_KERNELS
    case PixelKernel::Avx2: avx2(from, to, count); return;
    case PixelKernel::Ssse3: ssse3(from, to, count); return;
#endif
    default: scalar(from, to, count); return;
  }
}

void bgrx_to_rgba(const std::uint8_t* from, std::uint8_t* to, std::size_t count) noexcept {
  bgrx_to_rgba(best_kernel(), from, to, count);
}

void bgrx_to_rgba_streaming(PixelKernel kernel, const std::uint8_t* from, std::uint8_t* to,
                            std::size_t count) noexcept {
  switch (kernel) {
#ifdef LUMIGRAB_X86_KERNELS
    case PixelKernel::Avx2: avx2_streaming(from, to, count); return;
    case PixelKernel::Ssse3: ssse3_streaming(from, to, count); return;
#endif
    default: scalar(from, to, count); return;
  }
}

void bgrx_to_rgba_streaming(const std::uint8_t* from, std::uint8_t* to,
                            std::size_t count) noexcept {
  bgrx_to_rgba_streaming(best_kernel(), from, to, count);
}

}  // namespace lumigrab::frame
