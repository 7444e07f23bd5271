#include "platform/simulated/sim_core.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/posix/messages.h"
#include "platform/posix/objects.h"
#include "platform/simulated/sim_internal.h"

namespace lumigrab::sim {
namespace {

// Each register has a lock of its own that is never held while another lock
// is taken, so any part may fault, log and count while holding its own.
struct Registers {
  std::mutex faults_mutex;
  std::map<std::string, FaultSpec, std::less<>> faults;

  std::mutex log_mutex;
  std::vector<std::string> log;

  std::mutex hooks_mutex;
  std::vector<std::function<void()>> reset_hooks;
};

// Never destroyed: threads that end while the process exits (and their
// thread-local objects) still log and count.
Registers& registers() {
  static Registers* const instance = new Registers();
  return *instance;
}

constexpr DWORD kOwnProcessId = 0x1F40;

}  // namespace

// --- fault injection ---

void set_fault(const std::string& point, FaultSpec spec) {
  auto& r = registers();
  const std::lock_guard lock(r.faults_mutex);
  r.faults.insert_or_assign(point, std::move(spec));
}

void clear_faults() {
  auto& r = registers();
  const std::lock_guard lock(r.faults_mutex);
  r.faults.clear();
}

std::optional<FaultSpec> take_fault(std::string_view point) {
  auto& r = registers();
  const std::lock_guard lock(r.faults_mutex);
  const auto found = r.faults.find(point);
  if (found == r.faults.end()) {
    return std::nullopt;
  }
  FaultSpec& spec = found->second;
  if (spec.skip > 0) {
    --spec.skip;
    return std::nullopt;
  }
  if (spec.times == 0) {
    return std::nullopt;
  }
  if (spec.times > 0) {
    --spec.times;
  }
  return spec;
}

void leave_error_info(const FaultSpec& spec) {
  if (spec.message.empty() && !spec.restricted_message) {
    return;
  }
  std::optional<std::u16string> restricted;
  if (spec.restricted_message) {
    restricted = detail::from_utf8(*spec.restricted_message);
  }
  set_thread_error_info(detail::from_utf8(spec.message), std::move(restricted));
}

// --- call log ---

void log_call(std::string entry) {
#ifdef LUMIGRAB_TEST_HOOKS
  auto& r = registers();
  const std::lock_guard lock(r.log_mutex);
  r.log.push_back(std::move(entry));
#else
  // Only a test build can read the log; elsewhere a capture would grow it by
  // a few lines for every frame, for as long as it runs.
  static_cast<void>(entry);
#endif
}

std::vector<std::string> logged_calls() {
  auto& r = registers();
  const std::lock_guard lock(r.log_mutex);
  return r.log;
}

void clear_call_log() {
  auto& r = registers();
  const std::lock_guard lock(r.log_mutex);
  r.log.clear();
}

// --- last error ---

void set_last_error(DWORD code) {
  posix::set_last_error(code);
}
DWORD last_error() {
  return posix::last_error();
}

// --- threads and processes ---

DWORD current_thread_id() {
  return posix::current_thread_id();
}

DWORD own_process_id() {
  return kOwnProcessId;
}

// --- live objects ---

void count_live(std::string_view kind, int delta) {
  posix::count_live(kind, delta);
}

std::map<std::string, long> live_counts() {
  return posix::live_counts();
}

std::vector<std::string> misuses() {
  return posix::misuses();
}

void clear_misuses() {
  posix::clear_misuses();
}

// --- reset ---

void on_reset(std::function<void()> reset) {
  auto& r = registers();
  const std::lock_guard lock(r.hooks_mutex);
  r.reset_hooks.push_back(std::move(reset));
}

void reset_desktop() {
  // Faults go first so that nothing the hooks tear down fails on the way.
  clear_faults();
  detail::reset_display();
  detail::reset_windows();
  detail::reset_error_text();
  detail::reset_libraries();
  set_last_error(0);
  std::vector<std::function<void()>> hooks;
  {
    auto& r = registers();
    const std::lock_guard lock(r.hooks_mutex);
    hooks = r.reset_hooks;
  }
  // Outside every lock: a hook may stop threads that still call the platform.
  for (const auto& hook : hooks) {
    hook();
  }
  clear_call_log();
}

namespace detail {

// --- call-log formatting ---

std::string hex(std::uint64_t value) {
  char digits[24];
  std::snprintf(digits, sizeof digits, "0x%llX", static_cast<unsigned long long>(value));
  return digits;
}

std::string handle_text(std::uintptr_t value) {
  if (value == 0) {
    return "NULL";
  }
  char digits[24];
  std::snprintf(digits, sizeof digits, "0x%llx", static_cast<unsigned long long>(value));
  return digits;
}

namespace {

bool is_high_surrogate(char32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool is_low_surrogate(char32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

void append_utf8(std::string& out, char32_t code_point) {
  const auto byte = [&out](char32_t value) { out.push_back(static_cast<char>(value)); };
  if (code_point < 0x80) {
    byte(code_point);
  } else if (code_point < 0x800) {
    byte(0xC0 | (code_point >> 6));
    byte(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    byte(0xE0 | (code_point >> 12));
    byte(0x80 | ((code_point >> 6) & 0x3F));
    byte(0x80 | (code_point & 0x3F));
  } else {
    byte(0xF0 | (code_point >> 18));
    byte(0x80 | ((code_point >> 12) & 0x3F));
    byte(0x80 | ((code_point >> 6) & 0x3F));
    byte(0x80 | (code_point & 0x3F));
  }
}

// Calls `take(code_point, paired)` for each code point of `units`; an
// unpaired surrogate comes as itself with `paired` false.
template <typename Take>
void for_each_code_point(std::u16string_view units, Take take) {
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char32_t unit = units[i];
    if (is_high_surrogate(unit) && i + 1 < units.size() && is_low_surrogate(units[i + 1])) {
      const char32_t low = units[i + 1];
      take(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), true);
      ++i;
    } else {
      take(unit, !is_high_surrogate(unit) && !is_low_surrogate(unit));
    }
  }
}

}  // namespace

std::string quoted(std::u16string_view units) {
  std::string out = "'";
  for_each_code_point(units, [&out](char32_t code_point, bool paired) {
    if (!paired || code_point < 0x20 || code_point == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(code_point));
      out += escape;
    } else {
      append_utf8(out, code_point);
    }
  });
  out += "'";
  return out;
}

std::string quoted_argument(const WCHAR* text) {
  return text == nullptr ? "NULL" : quoted(terminated(text));
}

std::u16string_view terminated(const WCHAR* text) {
  return text == nullptr ? std::u16string_view() : std::u16string_view(text);
}

std::u16string_view up_to_zero(const WCHAR* units, std::size_t capacity) {
  std::size_t length = 0;
  while (length < capacity && units[length] != 0) {
    ++length;
  }
  return {units, length};
}

std::u16string from_utf8(std::string_view text) {
  std::u16string units;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t extra = 0;
    char32_t code_point = lead;
    if (lead >= 0xF0 && lead < 0xF8) {
      extra = 3;
      code_point = lead & 0x07U;
    } else if (lead >= 0xE0) {
      extra = 2;
      code_point = lead & 0x0FU;
    } else if (lead >= 0xC0) {
      extra = 1;
      code_point = lead & 0x1FU;
    } else if (lead >= 0x80) {
      code_point = 0xFFFD;
    }
    if (i + extra >= text.size() && extra > 0) {
      units.push_back(u'\uFFFD');
      break;
    }
    for (std::size_t k = 1; k <= extra; ++k) {
      code_point = (code_point << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3FU);
    }
    i += extra + 1;
    if (code_point >= 0x10000) {
      code_point -= 0x10000;
      units.push_back(static_cast<char16_t>(0xD800 + (code_point >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + (code_point & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(code_point));
    }
  }
  return units;
}

std::string to_utf8(std::u16string_view units) {
  std::string out;
  for_each_code_point(units, [&out](char32_t code_point, bool) { append_utf8(out, code_point); });
  return out;
}

bool any_nonzero(const void* object, std::size_t from, std::size_t to) {
  const auto* bytes = static_cast<const unsigned char*>(object);
  for (std::size_t i = from; i < to; ++i) {
    if (bytes[i] != 0) {
      return true;
    }
  }
  return false;
}

bool fails(std::string_view point) {
  const std::optional<FaultSpec> fault = take_fault(point);
  if (!fault) {
    return false;
  }
  set_last_error(fault->code);
  return true;
}

}  // namespace detail
}  // namespace lumigrab::sim
