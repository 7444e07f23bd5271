// Test builds only: what tests outside the module use to tell that every
// delegate and shared record of the capture has been released, and the
// simulated desktop's reset hook for the frame pool statics kept across
// captures.
#ifdef LUMIGRAB_TEST_HOOKS

#include <mutex>
#include <string_view>

#include "capture/activation.h"
#include "capture/capture_thread.h"
#include "capture/frame_arrived_handler.h"
#include "capture/records.h"
#include "platform/simulated/sim_core.h"

#if defined(_WIN32)
#define LUMIGRAB_TEST_EXPORT __declspec(dllexport)
#else
#define LUMIGRAB_TEST_EXPORT __attribute__((visibility("default")))
#endif

namespace lumigrab::activation {

void forget_cached_statics_on_reset() {
  static std::once_flag registered;
  std::call_once(registered, [] { sim::on_reset(&forget_cached_statics); });
}

}  // namespace lumigrab::activation

// The number of live objects of one kind, or -1 for a kind it does not know:
// "frame_arrived_handler", "shutdown_handler", "latest_frame_slot" or
// "thread_id_cell".
extern "C" LUMIGRAB_TEST_EXPORT long lumigrab_live_module_objects(const char* kind) {
  using namespace lumigrab::capture;  // NOLINT(google-build-using-namespace)
  const std::string_view name = kind == nullptr ? std::string_view() : std::string_view(kind);
  if (name == "frame_arrived_handler") {
    return FrameArrivedHandler::live();
  }
  if (name == "shutdown_handler") {
    return ShutdownCompletedHandler::live();
  }
  if (name == "latest_frame_slot") {
    return LatestFrameSlot::live();
  }
  if (name == "thread_id_cell") {
    return CaptureThreadIdCell::live();
  }
  return -1;
}

#endif
