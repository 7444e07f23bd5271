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

// Copies the frame's texture through a staging texture into a new buffer.
// Call with the frame's slot locked: the frame's device context is used here.
Result<FrameBytes, FrameError> materialize_frame(const capture::LatestFrame& frame);

}  // namespace lumigrab::frame
