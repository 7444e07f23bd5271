// Test builds only: the functions through which tests script the simulated
// desktop (tests/simdesk.py calls them with ctypes). The shipped module
// exports none of them.
#ifdef LUMIGRAB_TEST_HOOKS

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/simulated/sim_core.h"
#include "platform/simulated/sim_internal.h"

#define LUMIGRAB_SIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using namespace lumigrab::sim;  // NOLINT(google-build-using-namespace)

std::u16string units_of(const std::uint16_t* units, std::size_t count) {
  std::u16string text(count, u'\0');
  for (std::size_t i = 0; i < count; ++i) {
    text[i] = static_cast<char16_t>(units[i]);
  }
  return text;
}

std::optional<std::u16string> optional_text(const char* utf8) {
  if (utf8 == nullptr) {
    return std::nullopt;
  }
  return detail::from_utf8(utf8);
}

// Copies `text` and a terminating zero into `buffer` as far as it fits;
// returns the length of `text`, so that a caller can retry with more room.
std::size_t copy_out(const std::string& text, char* buffer, std::size_t capacity) {
  if (buffer != nullptr && capacity > 0) {
    const std::size_t count = std::min(text.size(), capacity - 1);
    std::memcpy(buffer, text.data(), count);
    buffer[count] = '\0';
  }
  return text.size();
}

std::string counts_text(const std::map<std::string, long>& counts) {
  std::string text;
  for (const auto& [name, count] : counts) {
    text += name + "\t" + std::to_string(count) + "\n";
  }
  return text;
}

template <typename Handle>
Handle handle_of(std::uint64_t value) {
  return reinterpret_cast<Handle>(static_cast<std::uintptr_t>(value));
}

template <typename Handle>
std::uint64_t value_of(Handle handle) {
  return reinterpret_cast<std::uintptr_t>(handle);
}

}  // namespace

LUMIGRAB_SIM_EXPORT void lumigrab_sim_reset() {
  reset_desktop();
}

LUMIGRAB_SIM_EXPORT const char* lumigrab_sim_backend() {
  return lumigrab::platform::backend_name();
}

LUMIGRAB_SIM_EXPORT std::uint32_t lumigrab_sim_own_process_id() {
  return own_process_id();
}

// --- monitors ---

// `device` holds at most 32 units and `device_string` at most 128; the rest of
// each field is zero.
LUMIGRAB_SIM_EXPORT std::uint64_t lumigrab_sim_add_monitor(
    const std::uint16_t* device, std::size_t device_count, const std::uint16_t* device_string,
    std::size_t device_string_count, std::uint32_t width, std::uint32_t height,
    std::uint32_t refresh_rate, int primary, int settings) {
  MonitorSpec spec;
  spec.device = fixed_units<32>(units_of(device, device_count));
  spec.device_string = fixed_units<128>(units_of(device_string, device_string_count));
  spec.width = width;
  spec.height = height;
  spec.refresh_rate = refresh_rate;
  spec.primary = primary != 0;
  spec.settings = settings != 0;
  return value_of(add_monitor(spec));
}

LUMIGRAB_SIM_EXPORT int lumigrab_sim_remove_monitor(std::uint64_t monitor) {
  return remove_monitor(handle_of<HMONITOR>(monitor)) ? 1 : 0;
}

LUMIGRAB_SIM_EXPORT void lumigrab_sim_set_primary(std::uint64_t monitor) {
  set_primary_monitor(handle_of<HMONITOR>(monitor));
}

LUMIGRAB_SIM_EXPORT void lumigrab_sim_set_display_scale(std::uint32_t percent) {
  set_display_scale(percent);
}

// --- windows ---

// `process_id` counts only with `has_process_id`; otherwise the window
// belongs to another process.
LUMIGRAB_SIM_EXPORT std::uint64_t lumigrab_sim_add_window(
    const std::uint16_t* title, std::size_t title_count, int visible, int has_process_id,
    std::uint32_t process_id, std::int64_t style, std::int64_t extended_style,
    std::uint32_t client_rect_error, std::int32_t width, std::int32_t height, std::int32_t left,
    std::int32_t top) {
  WindowSpec spec;
  spec.title = units_of(title, title_count);
  spec.visible = visible != 0;
  if (has_process_id != 0) {
    spec.process_id = process_id;
  }
  spec.style = static_cast<LONG_PTR>(style);
  spec.extended_style = static_cast<LONG_PTR>(extended_style);
  spec.client_rect_error = client_rect_error;
  spec.width = width;
  spec.height = height;
  spec.left = left;
  spec.top = top;
  return value_of(add_window(std::move(spec)));
}

LUMIGRAB_SIM_EXPORT int lumigrab_sim_close_window(std::uint64_t window) {
  return close_window(handle_of<HWND>(window)) ? 1 : 0;
}

LUMIGRAB_SIM_EXPORT int lumigrab_sim_set_title(std::uint64_t window, const std::uint16_t* title,
                                               std::size_t title_count) {
  return set_window_title(handle_of<HWND>(window), units_of(title, title_count)) ? 1 : 0;
}

LUMIGRAB_SIM_EXPORT void lumigrab_sim_set_foreground(std::uint64_t window) {
  set_foreground_window(handle_of<HWND>(window));
}

// --- faults and error text ---

// Texts are UTF-8 in which a lone surrogate may stand in its three-byte form;
// a null `restricted_message` leaves IRestrictedErrorInfo out.
LUMIGRAB_SIM_EXPORT void lumigrab_sim_fail(const char* point, std::uint32_t code, int skip,
                                           int times, int no_result, const char* message,
                                           const char* restricted_message) {
  FaultSpec spec;
  spec.mode = no_result != 0 ? FaultSpec::Mode::NoResult : FaultSpec::Mode::Fail;
  spec.code = code;
  spec.skip = skip;
  spec.times = times;
  spec.message = message == nullptr ? "" : message;
  if (restricted_message != nullptr) {
    spec.restricted_message = restricted_message;
  }
  set_fault(point, std::move(spec));
}

LUMIGRAB_SIM_EXPORT void lumigrab_sim_clear_faults() {
  clear_faults();
}

// A null `text` removes the entry.
LUMIGRAB_SIM_EXPORT void lumigrab_sim_set_system_message(std::uint32_t message_id, const char* text,
                                                         int ntdll) {
  set_system_message(message_id, optional_text(text), ntdll != 0);
}

// Leaves error information on the calling thread, as a failed call would.
LUMIGRAB_SIM_EXPORT void lumigrab_sim_set_error_info(const char* description,
                                                     const char* restricted_description) {
  set_thread_error_info(detail::from_utf8(description == nullptr ? "" : description),
                        optional_text(restricted_description));
}

// --- what happened ---

// One call per line.
LUMIGRAB_SIM_EXPORT std::size_t lumigrab_sim_calls(char* buffer, std::size_t capacity) {
  std::string text;
  for (const std::string& call : logged_calls()) {
    text += call;
    text += '\n';
  }
  return copy_out(text, buffer, capacity);
}

LUMIGRAB_SIM_EXPORT void lumigrab_sim_clear_calls() {
  clear_call_log();
}

// One "kind<TAB>count" line per kind whose count is not zero.
LUMIGRAB_SIM_EXPORT std::size_t lumigrab_sim_live_objects(char* buffer, std::size_t capacity) {
  return copy_out(counts_text(live_counts()), buffer, capacity);
}

// One line per misuse recorded since the last clear.
LUMIGRAB_SIM_EXPORT std::size_t lumigrab_sim_misuses(char* buffer, std::size_t capacity) {
  std::string text;
  for (const std::string& misuse : misuses()) {
    text += misuse + "\n";
  }
  return copy_out(text, buffer, capacity);
}

LUMIGRAB_SIM_EXPORT void lumigrab_sim_clear_misuses() {
  clear_misuses();
}

// One "name<TAB>count" line per library with unmatched loads.
LUMIGRAB_SIM_EXPORT std::size_t lumigrab_sim_loaded_libraries(char* buffer, std::size_t capacity) {
  return copy_out(counts_text(loaded_libraries()), buffer, capacity);
}

#endif  // LUMIGRAB_TEST_HOOKS
