// Turning 32-bit B, G, R, X pixels into R, G, B, A while copying them: the
// pixel order of an X server's 24-bit colour, and of most frame buffers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumigrab::frame {

// The ways of doing it, slowest first. The fastest one the processor runs is
// chosen once, at the first call.
enum class PixelKernel : std::uint8_t { Scalar, Ssse3, Avx2 };

bool kernel_supported(PixelKernel kernel) noexcept;
PixelKernel best_kernel() noexcept;

// Copies `count` pixels from `from` to `to`, each four bytes B, G, R, X in
// memory (X ignored) turned into R, G, B, A with A 255. The two ranges do not
// overlap; neither needs any alignment.
void bgrx_to_rgba(const std::uint8_t* from, std::uint8_t* to, std::size_t count) noexcept;
// The same with a given kernel, which must be supported.
void bgrx_to_rgba(PixelKernel kernel, const std::uint8_t* from, std::uint8_t* to,
                  std::size_t count) noexcept;

// Bytes of R, G, B, A from which a read-back writes around the caches: a
// frame this large would only push out of them what the caller reads next.
inline constexpr std::size_t kStreamingBytes = std::size_t{6} << 20;

// The same for a run of many pixels into memory that is not read again soon
// (a new frame's array): the vector kernels write around the caches, which
// spares reading in the lines they only overwrite.
void bgrx_to_rgba_streaming(const std::uint8_t* from, std::uint8_t* to, std::size_t count) noexcept;
void bgrx_to_rgba_streaming(PixelKernel kernel, const std::uint8_t* from, std::uint8_t* to,
                            std::size_t count) noexcept;

}  // namespace lumigrab::frame
