// Frames of the Wayland backend: shared-memory buffers the compositor copies
// an output into, and the device whose textures read them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/abi.h"
#include "platform/com_ptr.h"

namespace lumigrab::wayland {

// Memory the compositor writes a frame into: `height` rows `stride` bytes
// apart, in one of the wl_shm formats of 32 bits a pixel. Mapped here until
// the last frame that shows it goes.
class Pixels {
 public:
  // Null when the memory cannot be had.
  static std::shared_ptr<Pixels> create(std::uint32_t width, std::uint32_t height,
                                        std::uint32_t stride, std::uint32_t format,
                                        std::shared_ptr<const std::atomic<bool>> alive);
  Pixels(const Pixels&) = delete;
  Pixels& operator=(const Pixels&) = delete;
  ~Pixels();

  int fd() const noexcept { return fd_; }
  std::size_t size() const noexcept { return size_; }
  const std::uint8_t* data() const noexcept { return data_; }
  std::uint32_t width() const noexcept { return width_; }
  std::uint32_t height() const noexcept { return height_; }
  std::uint32_t stride() const noexcept { return stride_; }
  std::uint32_t format() const noexcept { return format_; }
  // Whether the rows are stored bottom first (the compositor says so per copy).
  bool upside_down() const noexcept { return upside_down_.load(std::memory_order_acquire); }
  void set_upside_down(bool value) noexcept {
    upside_down_.store(value, std::memory_order_release);
  }
  // False once the connection that filled it broke: its compositor is gone.
  bool alive() const noexcept { return alive_->load(std::memory_order_acquire); }

 private:
  Pixels(int fd, std::uint8_t* data, std::size_t size, std::uint32_t width, std::uint32_t height,
         std::uint32_t stride, std::uint32_t format,
         std::shared_ptr<const std::atomic<bool>> alive);

  const int fd_;
  std::uint8_t* const data_;
  const std::size_t size_;
  const std::uint32_t width_;
  const std::uint32_t height_;
  const std::uint32_t stride_;
  const std::uint32_t format_;
  std::atomic<bool> upside_down_{false};
  const std::shared_ptr<const std::atomic<bool>> alive_;
};

// Whether frames in `format` can be turned into R, G, B, A.
bool is_readable_format(std::uint32_t format) noexcept;

// Writes `count` pixels of row `from` (in wl_shm `format`) to `to` as R, G,
// B, A with A 255; `streaming` where `to` is part of a large destination that
// is not read again soon.
void convert_row(const std::uint8_t* from, std::uint8_t* to, std::size_t count,
                 std::uint32_t format, bool streaming = false) noexcept;

// Whether `device` is one this backend made.
bool is_our_device(abi::IDirect3DDevice* device) noexcept;

// A GPU-side texture of this size showing `pixels`.
ComPtr<abi::ID3D11Texture2D> make_frame_texture(std::shared_ptr<const Pixels> pixels,
                                                std::int32_t width, std::int32_t height,
                                                std::int32_t pixel_format);

}  // namespace lumigrab::wayland
