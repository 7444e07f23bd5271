#include "platform/posix/displays.h"

#include <algorithm>

namespace lumigrab::posix {
namespace {

constexpr std::u16string_view kDisplayPrefix = u"\\\\.\\DISPLAY";

}  // namespace

std::u16string device_name_of(std::size_t position) {
  std::u16string name(kDisplayPrefix);
  for (const char digit : std::to_string(position + 1)) {
    name.push_back(static_cast<char16_t>(digit));
  }
  return name;
}

std::u16string_view terminated(const win::WCHAR* text) {
  return text == nullptr ? std::u16string_view() : std::u16string_view(text);
}

std::optional<std::size_t> position_of(std::u16string_view name, std::size_t count) {
  if (!name.starts_with(kDisplayPrefix)) {
    return std::nullopt;
  }
  name.remove_prefix(kDisplayPrefix.size());
  if (name.empty() || name.size() > 4 || name.front() == u'0') {
    return std::nullopt;
  }
  std::size_t number = 0;
  for (const char16_t unit : name) {
    if (unit < u'0' || unit > u'9') {
      return std::nullopt;
    }
    number = number * 10 + static_cast<std::size_t>(unit - u'0');
  }
  if (number > count) {
    return std::nullopt;
  }
  return number - 1;
}

void copy_units(win::WCHAR* destination, std::u16string_view source, std::size_t capacity) {
  const std::size_t count = std::min(source.size(), capacity - 1);
  std::copy_n(source.begin(), count, destination);
  destination[count] = 0;
}

}  // namespace lumigrab::posix
