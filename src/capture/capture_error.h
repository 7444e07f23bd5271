// The errors of capture control and of the capture thread's result.
#pragma once

#include <string>
#include <variant>

#include "direct_x/device.h"
#include "frame/frame.h"
#include "lib/windows_error.h"

namespace lumigrab::capture {

class CaptureError {
 public:
  enum class Kind {
    NoFrameAvailable,
    WindowsError,
    DirectXError,
    FrameNotMaterialized,
    CaptureThreadFailed,
    InvalidCaptureTarget,
    CursorSwitchUnavailable,
    BorderSwitchUnavailable,
    RegionOutsideTarget,
    Interrupted,
  };

  static CaptureError no_frame_available() { return CaptureError(Kind::NoFrameAvailable, {}); }
  static CaptureError windows_error(WindowsError error) {
    return CaptureError(Kind::WindowsError, std::move(error));
  }
  static CaptureError directx_error(direct_x::DeviceCreationError error) {
    return CaptureError(Kind::DirectXError, std::move(error));
  }
  static CaptureError frame_not_materialized(frame::FrameError error) {
    return CaptureError(Kind::FrameNotMaterialized, std::move(error));
  }
  // `reason`: what the capture thread's own error says about the cause, when
  // the platform told it; follows the fixed message.
  static CaptureError capture_thread_failed(std::string reason = {}) {
    return CaptureError(Kind::CaptureThreadFailed, std::move(reason));
  }
  static CaptureError invalid_capture_target() {
    return CaptureError(Kind::InvalidCaptureTarget, {});
  }

  // The system offers no way to leave the mouse pointer out of the frames.
  static CaptureError cursor_switch_unavailable() {
    return CaptureError(Kind::CursorSwitchUnavailable, {});
  }
  // The system cannot capture without drawing its border around the target.
  static CaptureError border_switch_unavailable() {
    return CaptureError(Kind::BorderSwitchUnavailable, {});
  }
  // `text` says which region and what it did not fit.
  static CaptureError region_outside_target(std::string text) {
    return CaptureError(Kind::RegionOutsideTarget, std::move(text));
  }

  // The caller asked a wait of start to end early (Ctrl+C in Python, which
  // raises its own exception instead of this error).
  static CaptureError interrupted() { return CaptureError(Kind::Interrupted, {}); }

  Kind kind() const noexcept { return kind_; }
  // The carried error of the variants that have one; null for the others.
  const WindowsError* windows_error() const noexcept {
    return std::get_if<WindowsError>(&payload_);
  }
  const direct_x::DeviceCreationError* directx_error() const noexcept {
    return std::get_if<direct_x::DeviceCreationError>(&payload_);
  }
  const frame::FrameError* frame_error() const noexcept {
    return std::get_if<frame::FrameError>(&payload_);
  }
  // What follows the fixed message: a failed thread's reason, or the region
  // and what it did not fit.
  const std::string* reason() const noexcept { return std::get_if<std::string>(&payload_); }
  std::string region_text() const {
    const std::string* text = reason();
    return text == nullptr ? std::string() : *text;
  }

 private:
  using Payload = std::variant<std::monostate, WindowsError, direct_x::DeviceCreationError,
                               frame::FrameError, std::string>;
  CaptureError(Kind kind, Payload payload) : kind_(kind), payload_(std::move(payload)) {}

  Kind kind_;
  Payload payload_;
};

// The variant's fixed message; carried errors are not part of it.
std::string text_form(const CaptureError& error);
// The variant's name, with the carried error's debug form in parentheses.
std::string debug_form(const CaptureError& error);

}  // namespace lumigrab::capture
