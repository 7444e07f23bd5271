// What the parts of the simulated desktop share among themselves and nothing
// else uses: call-log formatting, text conversion and the per-part resets.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/posix/errors.h"
#include "platform/win_types.h"

namespace lumigrab::sim::detail {

using namespace lumigrab::win;  // NOLINT(google-build-using-namespace)

// --- call-log formatting ---
// "0x" and upper-case hexadecimal digits.
std::string hex(std::uint64_t value);
// A handle or pointer in lower-case hexadecimal (as Python's "%#x" writes
// the handles the test controls return), or NULL.
std::string handle_text(std::uintptr_t value);
template <typename T>
std::string handle_text(T* handle) {
  return handle_text(reinterpret_cast<std::uintptr_t>(handle));
}
// The units between single quotes: text as UTF-8, control characters and
// unpaired surrogates as \uXXXX.
std::string quoted(std::u16string_view units);
// A zero-terminated argument, quoted, or NULL.
std::string quoted_argument(const WCHAR* text);

// The units of a zero-terminated string, read up to the zero as the system
// does: the caller must have terminated it.
std::u16string_view terminated(const WCHAR* text);
// The units of a fixed buffer up to its first zero, or all of them.
std::u16string_view up_to_zero(const WCHAR* units, std::size_t capacity);

// UTF-8 that may carry lone surrogates in their three-byte form.
std::u16string from_utf8(std::string_view text);
std::string to_utf8(std::u16string_view units);

// Whether any byte in [from, to) of `object` is not zero.
bool any_nonzero(const void* object, std::size_t from, std::size_t to);

// For calls that fail with zero and a last error: consumes the fault armed at
// `point`, if any, and sets its code as the last error.
bool fails(std::string_view point);

// --- libraries ---
inline constexpr std::uintptr_t kNtdllModule = posix::kNtdllModule;
// "<name>" for a module handle LoadLibraryExA gave out, else the handle.
std::string module_text(const void* module);

// `physical` as the calling thread sees it under the display scale.
LONG scaled_for_thread(LONG physical);
// SetThreadDpiAwarenessContext for the calling thread.
DPI_AWARENESS_CONTEXT set_thread_dpi_context(DPI_AWARENESS_CONTEXT context);

// --- resets of each part, run by reset_desktop ---
void reset_display();
void reset_windows();
void reset_error_text();
void reset_libraries();

}  // namespace lumigrab::sim::detail
