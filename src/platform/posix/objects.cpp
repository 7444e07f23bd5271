#include "platform/posix/objects.h"

#include <mutex>
#include <sstream>
#include <string>

#include "platform/posix/process.h"

namespace lumigrab::posix {
namespace {

struct LiveCounts {
  std::mutex mutex;
  std::map<std::string, long, std::less<>> counts;
};

// Never destroyed: threads that end while the process exits (and their
// thread-local objects) still count.
LiveCounts& live() {
  static LiveCounts* const instance = [] {
    auto* made = new LiveCounts();
    hold_across_fork(made->mutex);
    return made;
  }();
  return *instance;
}

struct Misuses {
  std::mutex mutex;
  std::vector<std::string> seen;
};

Misuses& misuse_record() {
  static Misuses* const instance = [] {
    auto* made = new Misuses();
    hold_across_fork(made->mutex);
    return made;
  }();
  return *instance;
}

struct Hooks {
  std::mutex mutex;
  CallHooks hooks;
};

Hooks& hooks() {
  static Hooks* const instance = [] {
    auto* made = new Hooks();
    hold_across_fork(made->mutex);
    return made;
  }();
  return *instance;
}

CallHooks current_hooks() {
  Hooks& h = hooks();
  const std::lock_guard lock(h.mutex);
  return h.hooks;
}

}  // namespace

void count_live(std::string_view kind, int delta) {
  LiveCounts& l = live();
  const std::lock_guard lock(l.mutex);
  auto found = l.counts.find(kind);
  if (found == l.counts.end()) {
    found = l.counts.emplace(std::string(kind), 0).first;
  }
  found->second += delta;
}

std::map<std::string, long> live_counts() {
  LiveCounts& l = live();
  const std::lock_guard lock(l.mutex);
  std::map<std::string, long> counts;
  for (const auto& [kind, count] : l.counts) {
    if (count != 0) {
      counts.emplace(kind, count);
    }
  }
  return counts;
}

void record_misuse(std::string what) {
  Misuses& m = misuse_record();
  const std::lock_guard lock(m.mutex);
  m.seen.push_back(std::move(what));
}

std::vector<std::string> misuses() {
  Misuses& m = misuse_record();
  const std::lock_guard lock(m.mutex);
  return m.seen;
}

void clear_misuses() {
  Misuses& m = misuse_record();
  const std::lock_guard lock(m.mutex);
  m.seen.clear();
}

void set_call_hooks(CallHooks installed) {
  Hooks& h = hooks();
  const std::lock_guard lock(h.mutex);
  h.hooks = std::move(installed);
}

void log_call(std::string entry) {
  if (const CallHooks h = current_hooks(); h.log) {
    h.log(std::move(entry));
  }
}

std::optional<HRESULT> injected_fault(std::string_view point) {
  if (const CallHooks h = current_hooks(); h.fault) {
    return h.fault(point);
  }
  return std::nullopt;
}

std::string code_text(std::uint64_t value) {
  std::ostringstream out;
  out << "0x" << std::uppercase << std::hex << value;
  return out.str();
}

std::string pointer_text(const void* pointer) {
  std::ostringstream out;
  out << "0x" << std::hex << reinterpret_cast<std::uintptr_t>(pointer);
  return pointer == nullptr ? "NULL" : out.str();
}

std::string size_text(abi::SizeInt32 size) {
  return "{" + std::to_string(size.Width) + ", " + std::to_string(size.Height) + "}";
}

}  // namespace lumigrab::posix
