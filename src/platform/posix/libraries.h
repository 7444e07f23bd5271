// Libraries loaded by name, as kernel32 hands them out: ntdll for its message
// table, and whatever else a backend registers.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "platform/win_types.h"

namespace lumigrab::posix {

using namespace lumigrab::win;  // NOLINT(google-build-using-namespace)

// Makes `name` loadable, with these exports.
void register_library(const std::string& name, std::map<std::string, FARPROC> exports);
// Libraries with loads not matched by FreeLibrary, by name, with that count
// (negative after too many FreeLibrary calls).
std::map<std::string, long> loaded_libraries();
// The registered name of a module handle that load_library gave out.
std::optional<std::string> module_name(const void* module);
// Forgets every library but ntdll, and ntdll's loads.
void reset_libraries();

// LoadLibraryExA, GetProcAddress and FreeLibrary: null or 0 with the last
// error set on failure.
HMODULE load_library(const char* file_name, void* file);
FARPROC get_proc_address(HMODULE module, const char* name);
BOOL free_library(HMODULE module);

}  // namespace lumigrab::posix
