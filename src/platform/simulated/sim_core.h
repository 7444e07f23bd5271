// The simulated desktop's shared machinery: fault injection, the call log,
// per-thread message queues, thread and process ids, live-object counts and
// reset. Every simulated operation is built on these.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/win_types.h"

namespace lumigrab::sim {

using namespace lumigrab::win;  // NOLINT(google-build-using-namespace)

// --- fault injection ---
// A fault point is named after the operation it stands for, e.g.
// "GetMonitorInfoW" or "ID3D11DeviceContext::Map".
struct FaultSpec {
  enum class Mode : std::uint8_t {
    Fail,       // BOOL/handle calls: fail and set last error to `code`;
                // HRESULT calls: return `code`
    NoResult,   // HRESULT calls: report success but hand back no object
  };
  Mode mode = Mode::Fail;
  std::uint32_t code = 0;
  int skip = 0;    // let this many calls succeed first
  int times = -1;  // then fail this many times; -1: every time
  std::string message;  // error-information text left on the thread, if any
};

void set_fault(const std::string& point, FaultSpec spec);
void clear_faults();
// Consumes one occurrence of the fault armed at `point`, if any.
std::optional<FaultSpec> take_fault(std::string_view point);

// --- call log ---
void log_call(std::string entry);
std::vector<std::string> logged_calls();
void clear_call_log();

// --- last error (per thread) ---
void set_last_error(DWORD code);
DWORD last_error();

// --- threads and processes ---
DWORD current_thread_id();
DWORD own_process_id();

// --- message queues ---
// Creates the calling thread's queue if it has none yet.
void ensure_message_queue();
// Queues a message for `thread_id`; `dispatch`, when given, runs inside that
// thread's DispatchMessageW. False, with last error 1444, when the thread has
// no queue.
bool post_thread_message(DWORD thread_id, const MSG& msg, std::function<void()> dispatch = {});

// --- live objects ---
void count_live(std::string_view kind, int delta);
std::map<std::string, long> live_counts();

// --- what the desktop offers to the capture engine ---
// The size a capture item of this monitor or window starts with; empty when
// there is no such live monitor or window.
std::optional<std::pair<std::int32_t, std::int32_t>> monitor_capture_size(HMONITOR monitor);
std::optional<std::pair<std::int32_t, std::int32_t>> window_capture_size(HWND window);

// --- libraries ---
// Makes `name` loadable by LoadLibraryExA, with these exports.
void register_library(const std::string& name, std::map<std::string, FARPROC> exports);

// --- error information ---
// Leaves an error-information object on the calling thread, as a failing
// Windows Runtime call does; with a restricted description it also answers
// IRestrictedErrorInfo.
void set_thread_error_info(std::u16string description,
                           std::optional<std::u16string> restricted_description);

// --- reset ---
// Registers what a part of the desktop does when a test resets it.
void on_reset(std::function<void()> reset);
void reset_desktop();

}  // namespace lumigrab::sim
