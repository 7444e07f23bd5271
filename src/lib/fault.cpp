#include "lib/fault.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/platform.h"

namespace lumigrab {
namespace {

std::atomic<bool> g_first_fault_reported{false};

// Source paths are reported from the project's `src/` on, as a reader finds them.
std::string_view short_path(std::string_view path) {
  const auto at = path.rfind("src/");
  return at == std::string_view::npos ? path : path.substr(at);
}

bool backtrace_requested() {
  const std::optional<std::string> value = platform::environment_variable("LUMIGRAB_BACKTRACE");
  return value && !value->empty() && *value != "0";
}

void write_report(const std::string& message, const SourceLocation& location) {
  std::string name = platform::current_thread_name();
  if (name.empty()) {
    name = "<unnamed>";
  }
  std::string report = "thread '" + name + "' panicked at " +
                       std::string(short_path(location.file)) + ":" +
                       std::to_string(location.line) + ":" + std::to_string(location.column) +
                       ":\n" + message + "\n";
  const bool with_backtrace = backtrace_requested();
  if (!with_backtrace && !g_first_fault_reported.exchange(true)) {
    report += "note: run with `LUMIGRAB_BACKTRACE=1` environment variable to display a backtrace\n";
  }
  std::fputs(report.c_str(), stderr);
  std::fflush(stderr);
  if (with_backtrace) {
    platform::write_backtrace();
  }
}

}  // namespace

void fault(std::string message, SourceLocation location) {
  write_report(message, location);
  throw Fault(std::move(message));
}

}  // namespace lumigrab
