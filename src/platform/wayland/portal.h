// Capture of a monitor through the desktop's ScreenCast portal (D-Bus) and
// the PipeWire stream it opens: the way on desktops whose compositor offers
// no screen-copy protocol of its own (GNOME, KDE), with the desktop's own
// consent dialog the first time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/wayland/pixels.h"

namespace lumigrab::portal {

struct Rect {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// A started screen cast. Frames go to `deliver` on PipeWire's own thread.
class ScreenCast {
 public:
  using Deliver = std::function<void(const std::shared_ptr<const wayland::Pixels>&)>;

  // Asks the portal to share the monitor at `wanted` (showing the pointer
  // with `cursor`) and connects to its stream; null with why in `*why` when
  // the portal cannot be reached, refuses, the user cancels, or the desktop
  // shares another monitor than the one asked for.
  static std::unique_ptr<ScreenCast> start(const Rect& wanted, bool cursor, Deliver deliver,
                                           std::string* why);

  ScreenCast(const ScreenCast&) = delete;
  ScreenCast& operator=(const ScreenCast&) = delete;
  ~ScreenCast();

  struct State;

 private:
  explicit ScreenCast(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace lumigrab::portal
