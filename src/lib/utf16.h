// UTF-16 text as the system hands it over, and back.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/win_types.h"

namespace lumigrab {

using WideString = std::basic_string<win::WCHAR>;

// The decoding error's own text.
inline constexpr const char* kLoneSurrogateText = "invalid utf-16: lone surrogate found";

// Units of a fixed-size buffer filled by the system: up to the first zero
// unit, or all of them when none is there.
std::size_t terminated_length(const win::WCHAR* units, std::size_t capacity) noexcept;

// Strict decoding: a surrogate pair becomes one character; an unpaired
// surrogate fails the whole conversion.
std::optional<std::string> decode_utf16_strict(const win::WCHAR* units, std::size_t count);

// Lenient decoding: an unpaired surrogate becomes U+FFFD.
std::string decode_utf16_lossy(const win::WCHAR* units, std::size_t count);

// UTF-8 to UTF-16 without terminator. The input must be valid UTF-8.
WideString encode_utf16(std::string_view utf8);

// A string as a quoted literal for debug forms: backslash, quote, tab, line
// feed and carriage return escaped, other control characters as \u{hex}.
std::string quote_for_debug(std::string_view utf8);

}  // namespace lumigrab
