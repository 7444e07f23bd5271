// Libraries loaded by name: ntdll for its message table, and whatever other
// simulated parts register.
#include <algorithm>
#include <cctype>
#include <mutex>

#include "platform/platform.h"
#include "platform/simulated/sim_core.h"
#include "platform/simulated/sim_internal.h"

namespace lumigrab::sim {
namespace {

constexpr DWORD kErrorInvalidHandle = 6;
constexpr DWORD kErrorInvalidParameter = 87;
constexpr DWORD kErrorModNotFound = 126;
constexpr DWORD kErrorProcNotFound = 127;
constexpr std::uintptr_t kModuleSpacing = 0x10000;

struct Library {
  std::string name;  // as registered
  std::uintptr_t handle;
  std::map<std::string, FARPROC> exports;
  long loads = 0;  // LoadLibraryExA calls not yet matched by FreeLibrary
};

// Library names compare without regard to ASCII case, as file names do on Windows.
std::string key_of(std::string_view name) {
  std::string key(name);
  std::transform(key.begin(), key.end(), key.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return key;
}

struct Libraries {
  Libraries() { add("ntdll.dll", {}); }

  void add(const std::string& name, std::map<std::string, FARPROC> exports) {
    const std::string key = key_of(name);
    auto found = by_key.find(key);
    if (found == by_key.end()) {
      // A name keeps its handle for the life of the process, across resets.
      auto [handle, fresh] = handles.try_emplace(key, next_handle);
      if (fresh) {
        next_handle += kModuleSpacing;
      }
      found = by_key.emplace(key, Library{name, handle->second, {}, 0}).first;
    }
    found->second.exports = std::move(exports);
  }

  Library* find(const void* module) {
    for (auto& [key, library] : by_key) {
      if (library.handle == reinterpret_cast<std::uintptr_t>(module)) {
        return &library;
      }
    }
    return nullptr;
  }

  std::mutex mutex;
  std::map<std::string, Library> by_key;
  std::map<std::string, std::uintptr_t> handles{{"ntdll.dll", detail::kNtdllModule}};
  std::uintptr_t next_handle = detail::kNtdllModule + kModuleSpacing;
};

Libraries& libraries() {
  static Libraries* const instance = new Libraries();
  return *instance;
}

std::string name_argument(const char* name) {
  return name == nullptr ? "NULL" : "'" + std::string(name) + "'";
}

}  // namespace

void register_library(const std::string& name, std::map<std::string, FARPROC> exports) {
  auto& l = libraries();
  const std::lock_guard lock(l.mutex);
  l.add(name, std::move(exports));
}

std::map<std::string, long> loaded_libraries() {
  auto& l = libraries();
  const std::lock_guard lock(l.mutex);
  std::map<std::string, long> loaded;
  for (const auto& [key, library] : l.by_key) {
    if (library.loads != 0) {
      loaded.emplace(library.name, library.loads);
    }
  }
  return loaded;
}

std::string detail::module_text(const void* module) {
  if (module != nullptr) {
    auto& l = libraries();
    const std::lock_guard lock(l.mutex);
    if (const Library* library = l.find(module)) {
      return "<" + library->name + ">";
    }
  }
  return handle_text(module);
}

void detail::reset_libraries() {
  auto& l = libraries();
  const std::lock_guard lock(l.mutex);
  std::erase_if(l.by_key, [](const auto& entry) { return entry.first != "ntdll.dll"; });
  l.by_key.at("ntdll.dll").loads = 0;
}

}  // namespace lumigrab::sim

namespace lumigrab::platform {

HMODULE LoadLibraryExA(const char* file_name, void* file, DWORD flags) {
  sim::log_call("LoadLibraryExA(" + sim::name_argument(file_name) + ", " +
                sim::detail::handle_text(file) + ", " + sim::detail::hex(flags) + ")");
  if (sim::detail::fails("LoadLibraryExA")) {
    return nullptr;
  }
  if (file_name == nullptr || file != nullptr) {
    sim::set_last_error(sim::kErrorInvalidParameter);
    return nullptr;
  }
  auto& l = sim::libraries();
  const std::lock_guard lock(l.mutex);
  const auto found = l.by_key.find(sim::key_of(file_name));
  if (found == l.by_key.end()) {
    sim::set_last_error(sim::kErrorModNotFound);
    return nullptr;
  }
  ++found->second.loads;
  return reinterpret_cast<HMODULE>(found->second.handle);
}

FARPROC GetProcAddress(HMODULE module, const char* name) {
  sim::log_call("GetProcAddress(" + sim::detail::module_text(module) + ", " +
                sim::name_argument(name) + ")");
  if (sim::detail::fails("GetProcAddress")) {
    return nullptr;
  }
  auto& l = sim::libraries();
  const std::lock_guard lock(l.mutex);
  const sim::Library* library = l.find(module);
  if (library == nullptr || library->loads <= 0) {
    sim::set_last_error(sim::kErrorInvalidHandle);
    return nullptr;
  }
  const auto found = name == nullptr ? library->exports.end() : library->exports.find(name);
  if (found == library->exports.end()) {
    sim::set_last_error(sim::kErrorProcNotFound);
    return nullptr;
  }
  return found->second;
}

BOOL FreeLibrary(HMODULE module) {
  sim::log_call("FreeLibrary(" + sim::detail::module_text(module) + ")");
  if (sim::detail::fails("FreeLibrary")) {
    return 0;
  }
  auto& l = sim::libraries();
  const std::lock_guard lock(l.mutex);
  sim::Library* library = l.find(module);
  if (library == nullptr) {
    sim::set_last_error(sim::kErrorInvalidHandle);
    return 0;
  }
  // Counted even past zero, so that an unmatched FreeLibrary shows.
  if (library->loads-- <= 0) {
    sim::set_last_error(sim::kErrorInvalidHandle);
    return 0;
  }
  return 1;
}

}  // namespace lumigrab::platform
