// Errors that happen because there is no desktop to ask (an X11 build with no
// X server to reach) say so after their own text.
#pragma once

#include <optional>
#include <string>

namespace lumigrab {

// Why the desktop cannot be reached now, or nothing while it can.
std::optional<std::string> desktop_unreachable();

// `text`, followed by `reason`: after ": ", or as a sentence of its own when
// `text` ends one.
std::string with_reason(std::string text, const std::string& reason);

// `text` as it is, or followed by why the desktop cannot be reached when it
// cannot: the message of an error that may have been caused by that.
std::string with_unreachable_reason(std::string text);

// `text` as it is, or followed by why no window can be found when the
// desktop lists none: the message of a window that was not found.
std::string with_unlisted_reason(std::string text);

}  // namespace lumigrab
