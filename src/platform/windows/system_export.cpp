#include "platform/windows/system_export.h"

#include "platform/windows/sdk.h"

namespace lumigrab::windows {
namespace {

// The loader's last error, never a success: a failure must not read as S_OK
// even if the system forgot to set the error.
win::HRESULT loader_failure(DWORD fallback) {
  const win::HRESULT code = hresult_from_win32(::GetLastError());
  return win::failed(code) ? code : hresult_from_win32(fallback);
}

}  // namespace

SystemExport::SystemExport(const wchar_t* library, const char* name) noexcept {
  // The library stays loaded for the life of the process: the address is kept
  // in a static, and unloading from a static destructor would run under the
  // loader lock. Only the system directory is searched, so no DLL planted
  // beside the application is picked up.
  const HMODULE module = ::LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) {
    error_ = loader_failure(ERROR_MOD_NOT_FOUND);
    return;
  }
  address_ = ::GetProcAddress(module, name);
  if (address_ == nullptr) {
    error_ = loader_failure(ERROR_PROC_NOT_FOUND);
  }
}

}  // namespace lumigrab::windows
