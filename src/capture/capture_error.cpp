#include "capture/capture_error.h"

namespace lumigrab::capture {

std::string text_form(const CaptureError& error) {
  switch (error.kind()) {
    case CaptureError::Kind::NoFrameAvailable: return "No frame available yet.";
    case CaptureError::Kind::WindowsError: return "Windows error during Capture.";
    case CaptureError::Kind::DirectXError: return "DirectX error during Capture.";
    case CaptureError::Kind::FrameNotMaterialized: return "Frame could not be materialized.";
    case CaptureError::Kind::CaptureThreadFailed: {
      const std::string* reason = error.reason();
      return "Capture thread exited unexpectedly with an error." +
             (reason == nullptr || reason->empty() ? std::string() : " " + *reason);
    }
    case CaptureError::Kind::InvalidCaptureTarget: return "Invalid capture target.";
    case CaptureError::Kind::CursorSwitchUnavailable:
      return "This system cannot leave the mouse pointer out of the capture.";
    case CaptureError::Kind::BorderSwitchUnavailable:
      return "This system cannot turn off the capture border.";
    case CaptureError::Kind::RegionOutsideTarget: return error.region_text();
    case CaptureError::Kind::Interrupted: return "The wait for the capture was interrupted.";
  }
  return {};
}

std::string debug_form(const CaptureError& error) {
  switch (error.kind()) {
    case CaptureError::Kind::NoFrameAvailable: return "NoFrameAvailable";
    case CaptureError::Kind::WindowsError:
      return "WindowsError(" + debug_form(*error.windows_error()) + ")";
    case CaptureError::Kind::DirectXError:
      return "DirectXError(" + direct_x::debug_form(*error.directx_error()) + ")";
    case CaptureError::Kind::FrameNotMaterialized:
      return "FrameNotMaterialized(" + frame::debug_form(*error.frame_error()) + ")";
    case CaptureError::Kind::CaptureThreadFailed: return "CaptureThreadFailed";
    case CaptureError::Kind::InvalidCaptureTarget: return "InvalidCaptureTarget";
    case CaptureError::Kind::CursorSwitchUnavailable: return "CursorSwitchUnavailable";
    case CaptureError::Kind::BorderSwitchUnavailable: return "BorderSwitchUnavailable";
    case CaptureError::Kind::RegionOutsideTarget:
      return "RegionOutsideTarget(" + error.region_text() + ")";
    case CaptureError::Kind::Interrupted: return "Interrupted";
  }
  return {};
}

}  // namespace lumigrab::capture
