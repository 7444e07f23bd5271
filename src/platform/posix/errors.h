// Error text for the POSIX backends: the system's and ntdll's message tables
// as FormatMessageW reads them, BSTRs, and the error information a failing
// call leaves on its thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/abi.h"
#include "platform/com_ptr.h"

namespace lumigrab::posix {

using namespace lumigrab::win;  // NOLINT(google-build-using-namespace)

// What LoadLibraryExA("ntdll.dll") gives, so that FormatMessageW can tell
// ntdll's table from the system's.
inline constexpr std::uintptr_t kNtdllModule = 0x7FFB0000;

// FormatMessageW with FORMAT_MESSAGE_ALLOCATE_BUFFER: the message's length,
// or 0 with the last error set.
DWORD format_message(DWORD flags, const void* source, DWORD message_id, WCHAR** buffer);
void free_message_buffer(WCHAR* buffer);
// Replaces (or with no text removes) one entry of the system's message table
// or, with `ntdll`, of ntdll's.
void set_system_message(DWORD message_id, std::optional<std::u16string> text, bool ntdll);
void reset_message_tables();

// A BSTR holding `text`, counted live as "bstr" until free_bstr.
BSTR make_bstr(std::u16string_view text);
void free_bstr(BSTR string);
UINT bstr_length(BSTR string);

// The calling thread's error information, as SetErrorInfo leaves it and
// GetErrorInfo hands it over (emptying the slot).
void set_thread_error_info(std::u16string description,
                           std::optional<std::u16string> restricted_description);
void put_thread_error_info(abi::IErrorInfo* info);
ComPtr<abi::IErrorInfo> take_thread_error_info();

}  // namespace lumigrab::posix
