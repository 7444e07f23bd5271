// The windows that lumigrab_window_host.exe opens, by title, shared by the
// host and the tests that look for them.
#pragma once

namespace lumigrab::test::host {

// Accents, a symbol, CJK and a character beyond the Basic Multilingual Plane,
// so that titles cross the UTF-16 boundary with a surrogate pair.
inline constexpr const wchar_t* kPlain = L"lumigrab h\u00f4te \u2713 \u7a93 \U0001F600";
inline constexpr const char* kPlainUtf8 =
    "lumigrab h\xc3\xb4te \xe2\x9c\x93 \xe7\xaa\x93 \xf0\x9f\x98\x80";

inline constexpr const wchar_t* kAscii = L"lumigrab host ascii";
inline constexpr const wchar_t* kTool = L"lumigrab host tool";
inline constexpr const wchar_t* kHidden = L"lumigrab host hidden";
// A WS_CHILD window inside the plain one.
inline constexpr const wchar_t* kChild = L"lumigrab host child";
// Closed by the tests with WM_CLOSE.
inline constexpr const wchar_t* kClosing = L"lumigrab host closing";

}  // namespace lumigrab::test::host
