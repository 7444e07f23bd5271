// What a capture captures: a monitor or a top-level window, by handle.
#pragma once

#include <string>

#include "lib/result.h"
#include "platform/com_ptr.h"
#include "platform/win_types.h"

namespace lumigrab::capture {

// Only the handle value; no reference to the Monitor or Window it came from.
class CaptureTarget {
 public:
  enum class Kind { Monitor, Window };

  static CaptureTarget monitor(win::HMONITOR monitor) noexcept {
    return CaptureTarget(Kind::Monitor, monitor, nullptr);
  }
  static CaptureTarget window(win::HWND window) noexcept {
    return CaptureTarget(Kind::Window, nullptr, window);
  }

  Kind kind() const noexcept { return kind_; }
  // The handle of the variant held; null for the other one.
  win::HMONITOR monitor_handle() const noexcept { return monitor_; }
  win::HWND window_handle() const noexcept { return window_; }

 private:
  CaptureTarget(Kind kind, win::HMONITOR monitor, win::HWND window) noexcept
      : kind_(kind), monitor_(monitor), window_(window) {}

  Kind kind_;
  win::HMONITOR monitor_;
  win::HWND window_;
};

// Which kind of target could not be made into a capture item. The Windows
// error behind it is not kept.
enum class TargetConversionError { MonitorConversionError, WindowConversionError };

// The variant's name, which is both its text and its debug form.
std::string text_form(TargetConversionError error);
std::string debug_form(TargetConversionError error);

// Makes the capture item on the calling thread, which need not have joined an
// apartment. The factory is looked up anew on every call.
Result<ComPtr<abi::IGraphicsCaptureItem>, TargetConversionError> create_capture_item(
    const CaptureTarget& target);

}  // namespace lumigrab::capture
