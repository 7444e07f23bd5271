// Monitor and window geometry in physical pixels, the unit of display modes
// and of captured frames.
#pragma once

#include "platform/platform.h"

namespace lumigrab {

// For as long as it lives, user32 answers the calling thread in physical
// pixels, whatever DPI awareness the process declared: a DPI-unaware process
// (python.exe declares none) is otherwise given coordinates divided by the
// display scale. On a system without per-thread awareness (before Windows 10
// 1607) nothing changes.
class PhysicalPixels {
 public:
  PhysicalPixels() noexcept {
    previous_ = platform::SetThreadDpiAwarenessContext(
        win::dpi_awareness_context(win::DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2_));
    if (previous_ == nullptr) {
      // Windows 10 before 1703 knows only the first per-monitor awareness.
      previous_ = platform::SetThreadDpiAwarenessContext(
          win::dpi_awareness_context(win::DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_));
    }
  }
  PhysicalPixels(const PhysicalPixels&) = delete;
  PhysicalPixels& operator=(const PhysicalPixels&) = delete;
  ~PhysicalPixels() {
    if (previous_ != nullptr) {
      platform::SetThreadDpiAwarenessContext(previous_);
    }
  }

 private:
  win::DPI_AWARENESS_CONTEXT previous_ = nullptr;
};

}  // namespace lumigrab
