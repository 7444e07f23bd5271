// Owner of one load of a library: freed when the owner goes, unless kept.
#pragma once

#include <string>

#include "platform/platform.h"

namespace lumigrab {

class LoadedLibrary {
 public:
  // Loads from the default directories only, never the current one; or from
  // where `search` says.
  explicit LoadedLibrary(const std::string& file_name,
                         win::DWORD search = win::LOAD_LIBRARY_SEARCH_DEFAULT_DIRS_)
      : module_(platform::LoadLibraryExA(file_name.c_str(), nullptr, search)) {}
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;
  ~LoadedLibrary() {
    if (module_ != nullptr) {
      platform::FreeLibrary(module_);
    }
  }

  win::HMODULE get() const { return module_; }
  // For a library whose code stays in use (a factory it handed out): it then
  // stays loaded for the rest of the process.
  void keep_loaded() { module_ = nullptr; }

 private:
  win::HMODULE module_;
};

}  // namespace lumigrab
