// The simulated desktop's shared machinery: fault injection, the call log,
// per-thread message queues, thread and process ids, live-object counts and
// reset. Every simulated operation is built on these.
#pragma once

#include <array>
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
    Fail,      // BOOL/handle calls: fail and set last error to `code`;
               // HRESULT calls: return `code`
    NoResult,  // HRESULT calls: report success but hand back no object
  };
  Mode mode = Mode::Fail;
  std::uint32_t code = 0;
  int skip = 0;         // let this many calls succeed first
  int times = -1;       // then fail this many times; -1: every time
  std::string message;  // error-information text left on the thread, if any
  // With a value, the error information also answers IRestrictedErrorInfo
  // with this restricted description (which may be empty).
  std::optional<std::string> restricted_message;
};
// Both texts are UTF-8; a lone surrogate may be written as its three-byte
// form, so that a test can hand the module undecodable text.

void set_fault(const std::string& point, FaultSpec spec);
void clear_faults();
// Consumes one occurrence of the fault armed at `point`, if any.
std::optional<FaultSpec> take_fault(std::string_view point);
// Leaves the error information `spec` asks for on the calling thread, as the
// failing call would; nothing when it carries no message.
void leave_error_info(const FaultSpec& spec);

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
// Queues a message for `thread_id`, from any thread; `dispatch`, when given,
// runs inside that thread's DispatchMessageW, with no lock of the desktop
// held. False, with last error 1444, when the thread has no queue. A queue
// goes away with its thread, and the actions of messages it never dispatched
// are destroyed then, on that thread.
bool post_thread_message(DWORD thread_id, const MSG& msg, std::function<void()> dispatch = {});

// --- live objects ---
void count_live(std::string_view kind, int delta);
// The kinds whose count is not zero.
std::map<std::string, long> live_counts();

// --- misuses ---
// What was done that Windows leaves undefined (see posix/objects.h), in the
// order it happened; kept until cleared, across resets.
std::vector<std::string> misuses();
void clear_misuses();

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
// A BSTR holding `text`, counted live as "bstr" until SysFreeString.
BSTR make_bstr(std::u16string_view text);

// --- scripting the desktop (tests) ---
template <std::size_t N>
std::array<WCHAR, N> fixed_units(std::u16string_view text) {
  std::array<WCHAR, N> units{};
  for (std::size_t i = 0; i < text.size() && i < N; ++i) {
    units[i] = text[i];
  }
  return units;
}

struct MonitorSpec {
  std::array<WCHAR, 32> device = fixed_units<32>(u"\\\\.\\DISPLAY1");             // szDevice, raw
  std::array<WCHAR, 128> device_string = fixed_units<128>(u"Simulated Monitor");  // raw
  DWORD width = 1920;
  DWORD height = 1080;
  DWORD refresh_rate = 60;
  bool primary = false;  // becomes what MonitorFromPoint((0, 0)) returns
  bool settings = true;  // false: EnumDisplaySettingsW fails for it
};
// Connects a monitor; its handle is never reused.
HMONITOR add_monitor(const MonitorSpec& spec);
// Disconnects it: no longer enumerated, and GetMonitorInfoW fails for it.
bool remove_monitor(HMONITOR monitor);
// What MonitorFromPoint((0, 0), ...) returns; any value, also a stale one.
void set_primary_monitor(HMONITOR monitor);
// The display scale in percent (100 unless set). As on Windows, user32 gives
// a thread that is not per-monitor DPI aware (every thread, until it calls
// SetThreadDpiAwarenessContext) monitor and window geometry divided by it,
// while display modes and captured frames stay in physical pixels.
void set_display_scale(std::uint32_t percent);

struct WindowSpec {
  std::u16string title;  // raw UTF-16 units
  bool visible = true;
  std::optional<DWORD> process_id;  // none: another process than this one
  LONG_PTR style = 0;
  LONG_PTR extended_style = 0;
  DWORD client_rect_error = 0;  // non-zero: GetClientRect fails with it
  LONG width = 800;
  LONG height = 600;
  LONG left = 0;  // the client area's top-left corner on the desktop
  LONG top = 0;
};
// Opens a top-level window; its handle is never reused.
HWND add_window(WindowSpec spec);
// Closes it; the handle stays what it was but no call accepts it any more.
bool close_window(HWND window);
bool set_window_title(HWND window, std::u16string title);
// What GetForegroundWindow returns; any value.
void set_foreground_window(HWND window);

// Replaces (or with no text removes) one entry of the system's message table
// or, with `ntdll`, of ntdll's.
void set_system_message(DWORD message_id, std::optional<std::u16string> text, bool ntdll);
// Libraries with loads not matched by FreeLibrary, by name, with that count
// (negative after too many FreeLibrary calls).
std::map<std::string, long> loaded_libraries();

// --- reset ---
// Registers what a part of the desktop does when a test resets it.
void on_reset(std::function<void()> reset);
// Empties the desktop (no monitors, no windows, no foreground window, no
// faults, default message tables, no registered libraries), runs every reset
// hook, then empties the call log. Live counts are left alone: they count
// objects that still exist.
void reset_desktop();

}  // namespace lumigrab::sim
