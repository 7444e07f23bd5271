// Libraries loaded by name: ntdll for its message table, and whatever other
// simulated parts register; the registry of platform/posix, with each call
// logged and open to an injected fault.
#include "platform/platform.h"
#include "platform/posix/libraries.h"
#include "platform/simulated/sim_core.h"
#include "platform/simulated/sim_internal.h"

namespace lumigrab::sim {
namespace {

std::string name_argument(const char* name) {
  return name == nullptr ? "NULL" : "'" + std::string(name) + "'";
}

}  // namespace

void register_library(const std::string& name, std::map<std::string, FARPROC> exports) {
  posix::register_library(name, std::move(exports));
}

std::map<std::string, long> loaded_libraries() {
  return posix::loaded_libraries();
}

std::string detail::module_text(const void* module) {
  if (const std::optional<std::string> name = posix::module_name(module)) {
    return "<" + *name + ">";
  }
  return handle_text(module);
}

void detail::reset_libraries() {
  posix::reset_libraries();
}

}  // namespace lumigrab::sim

namespace lumigrab::platform {

HMODULE LoadLibraryExA(const char* file_name, void* file, DWORD flags) {
  sim::log_call("LoadLibraryExA(" + sim::name_argument(file_name) + ", " +
                sim::detail::handle_text(file) + ", " + sim::detail::hex(flags) + ")");
  if (sim::detail::fails("LoadLibraryExA")) {
    return nullptr;
  }
  return posix::load_library(file_name, file);
}

FARPROC GetProcAddress(HMODULE module, const char* name) {
  sim::log_call("GetProcAddress(" + sim::detail::module_text(module) + ", " +
                sim::name_argument(name) + ")");
  if (sim::detail::fails("GetProcAddress")) {
    return nullptr;
  }
  return posix::get_proc_address(module, name);
}

BOOL FreeLibrary(HMODULE module) {
  sim::log_call("FreeLibrary(" + sim::detail::module_text(module) + ")");
  if (sim::detail::fails("FreeLibrary")) {
    return 0;
  }
  return posix::free_library(module);
}

}  // namespace lumigrab::platform
