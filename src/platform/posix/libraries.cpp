#include "platform/posix/libraries.h"

#include <algorithm>
#include <cctype>
#include <mutex>

#include "platform/posix/errors.h"
#include "platform/posix/messages.h"

namespace lumigrab::posix {
namespace {

constexpr DWORD kErrorInvalidHandle = 6;
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
  std::map<std::string, std::uintptr_t> handles{{"ntdll.dll", kNtdllModule}};
  std::uintptr_t next_handle = kNtdllModule + kModuleSpacing;
};

Libraries& libraries() {
  static Libraries* const instance = new Libraries();
  return *instance;
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

std::optional<std::string> module_name(const void* module) {
  if (module == nullptr) {
    return std::nullopt;
  }
  auto& l = libraries();
  const std::lock_guard lock(l.mutex);
  if (const Library* library = l.find(module)) {
    return library->name;
  }
  return std::nullopt;
}

void reset_libraries() {
  auto& l = libraries();
  const std::lock_guard lock(l.mutex);
  std::erase_if(l.by_key, [](const auto& entry) { return entry.first != "ntdll.dll"; });
  l.by_key.at("ntdll.dll").loads = 0;
}

HMODULE load_library(const char* file_name, void* file) {
  if (file_name == nullptr || file != nullptr) {
    set_last_error(kErrorInvalidParameter);
    return nullptr;
  }
  auto& l = libraries();
  const std::lock_guard lock(l.mutex);
  const auto found = l.by_key.find(key_of(file_name));
  if (found == l.by_key.end()) {
    set_last_error(kErrorModNotFound);
    return nullptr;
  }
  ++found->second.loads;
  return reinterpret_cast<HMODULE>(found->second.handle);
}

FARPROC get_proc_address(HMODULE module, const char* name) {
  auto& l = libraries();
  const std::lock_guard lock(l.mutex);
  const Library* library = l.find(module);
  if (library == nullptr || library->loads <= 0) {
    set_last_error(kErrorInvalidHandle);
    return nullptr;
  }
  const auto found = name == nullptr ? library->exports.end() : library->exports.find(name);
  if (found == library->exports.end()) {
    set_last_error(kErrorProcNotFound);
    return nullptr;
  }
  return found->second;
}

BOOL free_library(HMODULE module) {
  auto& l = libraries();
  const std::lock_guard lock(l.mutex);
  Library* library = l.find(module);
  if (library == nullptr) {
    set_last_error(kErrorInvalidHandle);
    return 0;
  }
  // Counted even past zero, so that an unmatched FreeLibrary shows.
  if (library->loads-- <= 0) {
    set_last_error(kErrorInvalidHandle);
    return 0;
  }
  return 1;
}

}  // namespace lumigrab::posix
