// What the capture tests share: a fresh simulated desktop with one monitor,
// frames to show on it, and the checks that every object was released.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "capture/capture_control.h"
#include "capture/capture_thread.h"
#include "capture/frame_arrived_handler.h"
#include "capture/records.h"
#include "frame/frame.h"
#include "harness.h"
#include "platform/simulated/sim_capture.h"
#include "platform/simulated/sim_core.h"

namespace lumigrab::test {

inline constexpr std::uint32_t kFailCode = 0x80004005U;

// Every capture object, simulated and the module's own, by kind.
inline std::map<std::string, long> capture_objects() {
  std::map<std::string, long> counts = sim::live_counts();
  const auto add = [&counts](const char* kind, long live) {
    if (live != 0) {
      counts[kind] = live;
    }
  };
  add("frame_arrived_handler", capture::FrameArrivedHandler::live());
  add("shutdown_handler", capture::ShutdownCompletedHandler::live());
  add("latest_frame_slot", capture::LatestFrameSlot::live());
  add("thread_id_cell", capture::CaptureThreadIdCell::live());
  return counts;
}

inline std::ostream& operator<<(std::ostream& out, const std::map<std::string, long>& counts) {
  out << "{";
  for (const auto& [kind, live] : counts) {
    out << " " << kind << "=" << live;
  }
  return out << " }";
}

// A desktop with one monitor of the given size, reset again when the test
// ends. A test that released everything it made finds the object counts as
// they were when it began.
class CaptureDesk {
 public:
  explicit CaptureDesk(std::int32_t width = 64, std::int32_t height = 48) {
    sim::reset_desktop();
    baseline_ = capture_objects();
    sim::MonitorSpec spec;
    spec.width = static_cast<win::DWORD>(width);
    spec.height = static_cast<win::DWORD>(height);
    spec.primary = true;
    monitor_ = sim::add_monitor(spec);
  }
  CaptureDesk(const CaptureDesk&) = delete;
  CaptureDesk& operator=(const CaptureDesk&) = delete;
  ~CaptureDesk() {
    capture_.reset();
    sim::reset_desktop();
  }

  // The desk's own capture, destroyed before `released` looks.
  capture::CaptureControl& capture() {
    if (!capture_) {
      capture_.emplace();
    }
    return *capture_;
  }

  win::HMONITOR monitor() const { return monitor_; }
  capture::CaptureTarget target() const { return capture::CaptureTarget::monitor(monitor_); }

  // Shows an image whose every pixel byte is `marker`, delivers it and waits
  // until the capture threads have dispatched it.
  void show(std::uint8_t marker, std::int32_t width = 64, std::int32_t height = 48) const {
    sim::FrameImage image;
    image.width = width;
    image.height = height;
    image.row_pitch = static_cast<std::uint32_t>(width) * 4;
    image.pixels.assign(std::size_t{image.row_pitch} * static_cast<std::size_t>(height), marker);
    show(std::move(image));
  }
  void show(sim::FrameImage image) const {
    sim::present_frame(reinterpret_cast<std::uintptr_t>(monitor_), std::move(image));
    CHECK(sim::wait_frames_delivered(std::chrono::seconds(10)));
  }

  // Whether the capture objects are back to what they were at the start,
  // after the kept frame pool statics have been let go.
  bool released() {
    capture_.reset();
    sim::reset_desktop();
    const std::map<std::string, long> now = capture_objects();
    if (now != baseline_) {
      std::cerr << "live objects " << now << ", at the start " << baseline_ << "\n";
    }
    return now == baseline_;
  }

 private:
  win::HMONITOR monitor_;
  std::map<std::string, long> baseline_;
  std::optional<capture::CaptureControl> capture_;
};

inline void arm(const std::string& point, int times = -1, int skip = 0) {
  sim::FaultSpec spec;
  spec.code = kFailCode;
  spec.times = times;
  spec.skip = skip;
  sim::set_fault(point, spec);
}

inline void arm_no_result(const std::string& point) {
  sim::FaultSpec spec;
  spec.mode = sim::FaultSpec::Mode::NoResult;
  sim::set_fault(point, spec);
}

// The frame in the slot: its size and first byte, or nothing.
struct SlotView {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  int marker = -1;
  bool operator==(const SlotView&) const = default;
};
inline std::ostream& operator<<(std::ostream& out, const SlotView& view) {
  return out << view.width << "x" << view.height << " marker " << view.marker;
}

inline SlotView view_slot(const capture::LatestFrameSlot& slot) {
  SlotView view;
  slot.with_frame([&view](const capture::LatestFrame& frame) {
    view.width = frame.width;
    view.height = frame.height;
    auto bytes = frame::materialize_frame(frame);
    if (bytes && bytes.value().size > 0) {
      view.marker = bytes.value().data[0];
    }
  });
  return view;
}

// Whether a call-log entry is a call of `name` that mentions `argument`.
inline bool is_call(const std::string& entry, const std::string& name,
                    const std::string& argument = {}) {
  return entry.rfind(name, 0) == 0 && entry.find(argument, name.size()) != std::string::npos;
}

inline std::size_t count_calls(const std::string& name, const std::string& argument = {}) {
  std::size_t count = 0;
  for (const std::string& entry : sim::logged_calls()) {
    count += is_call(entry, name, argument) ? 1U : 0U;
  }
  return count;
}

// The message of the fault `body` raises, or empty when it raises none. The
// fault report it writes (with those of any capture thread) is checked, and
// kept off the terminal.
template <typename F>
std::string fault_message(F&& body) {
  const HeldStderr held;
  try {
    std::forward<F>(body)();
  } catch (const Fault& fault) {
    CHECK(held.wrote("panicked at src/"));
    CHECK(held.wrote(fault.message()));
    return fault.message();
  }
  return {};
}

}  // namespace lumigrab::test
