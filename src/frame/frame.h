// Reading a stored frame back from the GPU into memory the CPU owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "capture/records.h"
#include "lib/result.h"
#include "lib/windows_error.h"

namespace lumigrab::frame {

class FrameError {
 public:
  enum class Kind { WindowsError, VectorConversionError };

  static FrameError windows_error(WindowsError error) {
    FrameError result(Kind::WindowsError);
    result.windows_error_.emplace(std::move(error));
    return result;
  }
  static FrameError vector_conversion() { return FrameError(Kind::VectorConversionError); }

  Kind kind() const noexcept { return kind_; }
  const std::optional<WindowsError>& windows_error() const noexcept { return windows_error_; }

 private:
  explicit FrameError(Kind kind) : kind_(kind) {}
  Kind kind_;
  std::optional<WindowsError> windows_error_;
};

std::string text_form(const FrameError& error);
std::string debug_form(const FrameError& error);

// The frame's rows, top to bottom, each `size / height` bytes long: R, G, B, A
// per pixel, then the row padding the GPU used.
struct FrameBytes {
  std::unique_ptr<std::uint8_t[]> data;
  std::size_t size = 0;
};

// A capture's kept staging texture, lent to one read-back: handed back to its
// keeper when the loan ends, on every way out. Empty when nothing was lent.
class StagingLoan {
 public:
  StagingLoan() = default;
  // `keeper` has been marked lent by the caller.
  explicit StagingLoan(std::shared_ptr<capture::StagingTexture> keeper) noexcept
      : keeper_(std::move(keeper)) {}
  StagingLoan(StagingLoan&& other) noexcept = default;
  StagingLoan& operator=(StagingLoan&& other) noexcept;
  StagingLoan(const StagingLoan&) = delete;
  StagingLoan& operator=(const StagingLoan&) = delete;
  ~StagingLoan() { end(); }

  capture::StagingTexture* keeper() const noexcept { return keeper_.get(); }

 private:
  void end() noexcept;
  std::shared_ptr<capture::StagingTexture> keeper_;
};

// A frame copied into a staging texture and mapped for the CPU; unmapped and
// released when this goes. `data` holds `size` bytes laid out as FrameBytes.
class MappedFrame {
 public:
  // `loan`, when not empty, lent `staging`; it ends once `staging` is unmapped.
  MappedFrame(ComPtr<abi::ID3D11DeviceContext> context, ComPtr<abi::ID3D11Texture2D> staging,
              const abi::D3D11_MAPPED_SUBRESOURCE& mapped, std::uint32_t height,
              StagingLoan loan = {}) noexcept;
  MappedFrame(MappedFrame&& other) noexcept;
  MappedFrame& operator=(MappedFrame&&) = delete;
  MappedFrame(const MappedFrame&) = delete;
  MappedFrame& operator=(const MappedFrame&) = delete;
  ~MappedFrame();

  const std::uint8_t* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }

  // Copies the first `rows` rows, `width` pixels of each, into `destination`
  // as R, G, B, A, rows `destination_pitch` bytes apart. This is how the
  // mapped rows are read: a backend may map them in another pixel layout, or
  // before they have all arrived.
  Status<FrameError> copy_rows(std::uint8_t* destination, std::size_t destination_pitch,
                               std::uint32_t rows, std::uint32_t width) const;

 private:
  ComPtr<abi::ID3D11DeviceContext> context_;
  ComPtr<abi::ID3D11Texture2D> staging_;  // null once moved from
  abi::D3D11_MAPPED_SUBRESOURCE mapped_;
  StagingLoan loan_;
  const std::uint8_t* data_;
  std::size_t size_;
};

// A rectangle of a frame, in pixels, that lies inside the frame.
struct FrameRect {
  std::uint32_t left = 0;
  std::uint32_t top = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// Copies the frame's texture into a staging texture and maps it: the frame's
// kept one when it has the right size and device and is free, else a new one
// (which is then kept, when nothing else is lent). Call with
// the frame's slot locked, and keep it locked while the result lives: the
// frame's device context is used here and by the unmapping. With `rect`, only
// that part of the frame is copied, into a staging texture of its size; the
// result then holds rect->height rows.
Result<MappedFrame, FrameError> map_frame(const capture::LatestFrame& frame,
                                          const std::optional<FrameRect>& rect = std::nullopt);

// The same, read into a new buffer the CPU owns.
Result<FrameBytes, FrameError> materialize_frame(const capture::LatestFrame& frame);

}  // namespace lumigrab::frame
