// Window titles as X clients store them, turned into the UTF-16 Windows
// hands out.
#include "platform/x11/x11_internal.h"

namespace lumigrab::x11 {

// Malformed sequences, overlong forms and encoded surrogates each become
// U+FFFD, so that no title turns into UTF-16 with lone surrogates.
std::u16string utf16_from_utf8(std::string_view bytes) {
  std::u16string units;
  units.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    std::size_t extra = 0;
    char32_t code_point = 0;
    char32_t smallest = 0;
    if (lead < 0x80) {
      units.push_back(lead);
      ++i;
      continue;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
      code_point = lead & 0x1FU;
      smallest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      code_point = lead & 0x0FU;
      smallest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      code_point = lead & 0x07U;
      smallest = 0x10000;
    } else {
      units.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    std::size_t taken = 1;
    while (taken <= extra && i + taken < bytes.size() &&
           (static_cast<unsigned char>(bytes[i + taken]) & 0xC0U) == 0x80) {
      code_point = (code_point << 6) | (static_cast<unsigned char>(bytes[i + taken]) & 0x3FU);
      ++taken;
    }
    i += taken;
    if (taken != extra + 1 || code_point < smallest || code_point > 0x10FFFF ||
        (code_point >= 0xD800 && code_point <= 0xDFFF)) {
      units.push_back(u'\uFFFD');
    } else if (code_point >= 0x10000) {
      code_point -= 0x10000;
      units.push_back(static_cast<char16_t>(0xD800 + (code_point >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + (code_point & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(code_point));
    }
  }
  return units;
}

std::u16string utf16_from_latin1(std::string_view bytes) {
  std::u16string units;
  units.reserve(bytes.size());
  for (const char byte : bytes) {
    units.push_back(static_cast<unsigned char>(byte));
  }
  return units;
}

}  // namespace lumigrab::x11
