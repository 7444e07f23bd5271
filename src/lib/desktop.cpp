#include "lib/desktop.h"

#include "platform/platform.h"

namespace lumigrab {

std::optional<std::string> desktop_unreachable() {
  return platform::desktop_unreachable();
}

std::string with_reason(std::string text, const std::string& reason) {
  if (reason.empty()) {
    return text;
  }
  if (text.empty() || text.back() != '.') {
    return text + ": " + reason;
  }
  std::string sentence = reason;
  if (sentence.front() >= 'a' && sentence.front() <= 'z') {
    sentence.front() = static_cast<char>(sentence.front() - 'a' + 'A');
  }
  return text + " " + sentence + ".";
}

std::string with_unreachable_reason(std::string text) {
  if (const std::optional<std::string> reason = desktop_unreachable()) {
    return with_reason(std::move(text), *reason);
  }
  return text;
}

std::string with_unlisted_reason(std::string text) {
  if (const std::optional<std::string> reason = platform::windows_unlisted()) {
    return with_reason(std::move(text), *reason);
  }
  return text;
}

}  // namespace lumigrab
