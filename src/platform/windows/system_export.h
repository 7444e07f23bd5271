// Exports of system DLLs that some Windows versions lack, looked up when first
// needed so that the module loads everywhere and a missing one is an ordinary
// failing HRESULT.
#pragma once

#include "platform/win_types.h"

namespace lumigrab::windows {

class SystemExport {
 public:
  // Loads `library` from the system directory and looks `name` up in it.
  SystemExport(const wchar_t* library, const char* name) noexcept;

  // The export as a function of type `Function`, or null when it is missing.
  template <typename Function>
  Function get() const noexcept {
    if (address_ == nullptr) {
      return nullptr;
    }
    // Through void(*)(): a cast between two other function types draws
    // -Wcast-function-type, and GetProcAddress's type is a placeholder anyway.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address_));
  }

  // Why get() returns null: the loader's error as an HRESULT.
  win::HRESULT error() const noexcept { return error_; }

 private:
  win::FARPROC address_ = nullptr;
  win::HRESULT error_ = win::S_OK_;
};

}  // namespace lumigrab::windows
