#include "lib/utf16.h"

#include <cstdint>
#include <cstdio>

namespace lumigrab {
namespace {

bool is_high_surrogate(std::uint32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool is_low_surrogate(std::uint32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Decodes, calling `on_lone` for each unpaired surrogate; stops early when it
// returns false.
template <typename OnLone>
bool decode(const win::WCHAR* units, std::size_t count, std::string& out, OnLone on_lone) {
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const auto unit = static_cast<std::uint16_t>(units[i]);
    if (is_high_surrogate(unit) && i + 1 < count &&
        is_low_surrogate(static_cast<std::uint16_t>(units[i + 1]))) {
      const auto low = static_cast<std::uint16_t>(units[i + 1]);
      append_utf8(out, 0x10000 + ((unit - 0xD800U) << 10) + (low - 0xDC00U));
      ++i;
    } else if (is_high_surrogate(unit) || is_low_surrogate(unit)) {
      if (!on_lone(out)) {
        return false;
      }
    } else {
      append_utf8(out, unit);
    }
  }
  return true;
}

}  // namespace

std::size_t terminated_length(const win::WCHAR* units, std::size_t capacity) noexcept {
  std::size_t n = 0;
  while (n < capacity && units[n] != 0) {
    ++n;
  }
  return n;
}

std::optional<std::string> decode_utf16_strict(const win::WCHAR* units, std::size_t count) {
  std::string out;
  if (!decode(units, count, out, [](std::string&) { return false; })) {
    return std::nullopt;
  }
  return out;
}

std::string decode_utf16_lossy(const win::WCHAR* units, std::size_t count) {
  std::string out;
  decode(units, count, out, [](std::string& text) {
    append_utf8(text, 0xFFFD);
    return true;
  });
  return out;
}

WideString encode_utf16(std::string_view utf8) {
  WideString out;
  out.reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    std::uint32_t cp = 0;
    std::size_t extra = 0;
    if (lead < 0x80) {
      cp = lead;
    } else if (lead >> 5 == 0x6) {
      cp = lead & 0x1FU;
      extra = 1;
    } else if (lead >> 4 == 0xE) {
      cp = lead & 0x0FU;
      extra = 2;
    } else {
      cp = lead & 0x07U;
      extra = 3;
    }
    for (std::size_t k = 1; k <= extra && i + k < utf8.size(); ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3FU);
    }
    i += extra + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<win::WCHAR>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<win::WCHAR>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<win::WCHAR>(cp));
    }
  }
  return out;
}

std::string quote_for_debug(std::string_view utf8) {
  std::string out = "\"";
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escaped[16];
          std::snprintf(escaped, sizeof escaped, "\\u{%x}", c);
          out += escaped;
        } else if (c == 0xC2 && i + 1 < utf8.size() &&
                   static_cast<unsigned char>(utf8[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(utf8[i + 1]) <= 0x9F) {
          // C1 control characters U+0080..U+009F.
          char escaped[16];
          std::snprintf(escaped, sizeof escaped, "\\u{%x}",
                        static_cast<unsigned char>(utf8[i + 1]));
          out += escaped;
          ++i;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out += "\"";
  return out;
}

}  // namespace lumigrab
