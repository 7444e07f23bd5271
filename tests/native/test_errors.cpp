// The Windows error value (its four ways of being made, its message lookup,
// text and debug forms), UTF-16 text from the system, and the monitor index.
#include <string>

#include "harness.h"
#include "lib/fault.h"
#include "lib/result.h"
#include "lib/utf16.h"
#include "lib/windows_error.h"
#include "monitor/monitor.h"
#include "platform/platform.h"
#include "platform/simulated/sim_core.h"

namespace lumigrab::test {
namespace {

using win::HRESULT;

HRESULT hr(std::uint32_t value) {
  return static_cast<HRESULT>(value);
}

TEST(windows_error_from_last_error_follows_hresult_from_win32) {
  sim::reset_desktop();
  CHECK_EQ(WindowsError::hresult_from_win32(5), hr(0x80070005));
  CHECK_EQ(WindowsError::hresult_from_win32(0), 0);
  CHECK_EQ(WindowsError::hresult_from_win32(0x12345), hr(0x80072345));
  // A value that already reads as a failing HRESULT is kept.
  CHECK_EQ(WindowsError::hresult_from_win32(0x80004005U), hr(0x80004005));
  sim::set_last_error(5);
  const WindowsError error = WindowsError::from_last_error();
  CHECK_EQ(error.code(), hr(0x80070005));
  CHECK(error.info() == nullptr);
  CHECK_EQ(WindowsError::missing_result().code(), 0);
  CHECK_EQ(WindowsError::no_interface().code(), hr(0x80004002));
}

TEST(text_form_is_the_system_message_and_the_code) {
  sim::reset_desktop();
  CHECK_EQ(text_form(WindowsError(hr(0x80070005), nullptr)), "Access is denied. (0x80070005)");
  // No message for the code: the code alone, eight upper-case digits.
  CHECK_EQ(text_form(WindowsError(hr(0x8007ABCD), nullptr)), "0x8007ABCD");
  CHECK_EQ(format_hresult(0x1F), "0x0000001F");
  CHECK_EQ(debug_form(WindowsError(hr(0x80070005), nullptr)),
           "Error { code: HRESULT(0x80070005), message: \"Access is denied.\" }");
  CHECK_EQ(debug_form(WindowsError(hr(0x8007ABCD), nullptr)),
           "Error { code: HRESULT(0x8007ABCD), message: \"\" }");
}

TEST(system_messages_are_trimmed_and_decoded_leniently) {
  sim::reset_desktop();
  sim::set_system_message(0x80071111U, u"Two\r\nlines \"quoted\"\t \r\n\v\f", false);
  const WindowsError error(hr(0x80071111), nullptr);
  CHECK_EQ(error.message(), "Two\r\nlines \"quoted\"");
  CHECK_EQ(debug_form(error),
           "Error { code: HRESULT(0x80071111), message: \"Two\\r\\nlines \\\"quoted\\\"\" }");
  sim::set_system_message(0x80071112U, std::u16string(u"bad ") + char16_t{0xD800} + u"!", false);
  CHECK_EQ(WindowsError(hr(0x80071112), nullptr).message(), "bad \xEF\xBF\xBD!");
  // Looked up anew each time: a changed table shows.
  sim::set_system_message(0x80071111U, u"Changed", false);
  CHECK_EQ(error.message(), "Changed");
}

TEST(nt_status_codes_are_looked_up_in_ntdll) {
  sim::reset_desktop();
  const WindowsError error(hr(0xD0000022), nullptr);
  CHECK(error.message().starts_with("{Access Denied}"));
  bool loaded = false;
  bool freed = false;
  for (const std::string& call : sim::logged_calls()) {
    loaded = loaded || call == "LoadLibraryExA('ntdll.dll', NULL, 0x1000)";
    freed = freed || call.starts_with("FreeLibrary(<ntdll.dll>");
  }
  CHECK(loaded);
  CHECK(freed);
  for (const auto& [name, count] : sim::loaded_libraries()) {
    CHECK_EQ(count, 0);
  }
}

TEST(error_information_comes_before_the_system_message) {
  sim::reset_desktop();
  // A restricted description wins over the plain one.
  sim::set_thread_error_info(u"plain description", u"restricted description");
  const WindowsError restricted = WindowsError::from_hresult(hr(0x80070005));
  CHECK(restricted.info() != nullptr);
  CHECK_EQ(text_form(restricted), "restricted description (0x80070005)");
  // GetErrorInfo took the thread's information: the next error has none.
  const WindowsError next = WindowsError::from_hresult(hr(0x80070005));
  CHECK(next.info() == nullptr);
  CHECK_EQ(text_form(next), "Access is denied. (0x80070005)");
  // Without a restricted description the plain one is used.
  sim::set_thread_error_info(u"plain only  \r\n", std::nullopt);
  CHECK_EQ(text_form(WindowsError::from_hresult(hr(0x80004005))), "plain only (0x80004005)");
  // An empty restricted description falls back to the plain one.
  sim::set_thread_error_info(u"the plain one", u"");
  CHECK_EQ(text_form(WindowsError::from_hresult(hr(0x80004005))), "the plain one (0x80004005)");
}

TEST(error_information_is_released_with_the_error) {
  sim::reset_desktop();
  {
    sim::set_thread_error_info(u"held", u"held too");
    const WindowsError error = WindowsError::from_hresult(hr(0x80004005));
    CHECK_EQ(error.message(), "held too");
    CHECK_EQ(error.message(), "held too");
  }
  const auto counts = sim::live_counts();
  for (const char* kind : {"error_info", "bstr"}) {
    const auto found = counts.find(kind);
    CHECK(found == counts.end() || found->second == 0);
  }
}

TEST(strict_utf16_decoding) {
  const char16_t pair[] = {u'a', 0xD83D, 0xDE00, u'b'};
  CHECK_EQ(*decode_utf16_strict(pair, 4),
           "a\xF0\x9F\x98\x80"
           "b");
  const char16_t lone_high[] = {u'a', 0xD83D, u'b'};
  CHECK(!decode_utf16_strict(lone_high, 3).has_value());
  const char16_t lone_low[] = {0xDE00};
  CHECK(!decode_utf16_strict(lone_low, 1).has_value());
  const char16_t high_at_end[] = {u'x', 0xD800};
  CHECK(!decode_utf16_strict(high_at_end, 2).has_value());
  CHECK_EQ(decode_utf16_lossy(high_at_end, 2), "x\xEF\xBF\xBD");
  CHECK_EQ(*decode_utf16_strict(pair, 0), "");
}

TEST(fixed_buffers_end_at_the_first_zero_or_their_end) {
  const char16_t buffer[] = {u'a', u'b', 0, u'c'};
  CHECK_EQ(terminated_length(buffer, 4), 2U);
  CHECK_EQ(terminated_length(buffer, 1), 1U);
  const char16_t full[] = {u'a', u'b', u'c'};
  CHECK_EQ(terminated_length(full, 3), 3U);
}

TEST(utf8_to_utf16_round_trips) {
  const std::string text = "Caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x98\x80";
  const WideString wide = encode_utf16(text);
  CHECK_EQ(wide.size(), 9U);
  CHECK_EQ(*decode_utf16_strict(wide.data(), wide.size()), text);
}

TEST(debug_quoting_escapes_control_characters) {
  CHECK_EQ(quote_for_debug("a\\b\"c\td\ne\rf"), "\"a\\\\b\\\"c\\td\\ne\\rf\"");
  CHECK_EQ(quote_for_debug(std::string("\x01\x7F", 2)), "\"\\u{1}\\u{7f}\"");
  CHECK_EQ(quote_for_debug("\xC2\x85 \xC3\xA9"), "\"\\u{85} \xC3\xA9\"");
}

TEST(monitor_index_parsing) {
  using monitor::ParseIntError;
  const auto parse = [](const std::string& name) { return monitor::parse_display_index(name); };
  CHECK_EQ(parse("\\\\.\\DISPLAY12").value(), 12U);
  CHECK_EQ(parse("\\\\.\\DISPLAY1\\\\.\\DISPLAY2").value(), 12U);
  CHECK_EQ(parse("+007").value(), 7U);
  CHECK_EQ(parse("18446744073709551615").value(), UINT64_MAX);
  CHECK(parse("18446744073709551616").error() == ParseIntError::PosOverflow);
  CHECK(parse("99999999999999999999").error() == ParseIntError::PosOverflow);
  CHECK(parse("\\\\.\\DISPLAY").error() == ParseIntError::Empty);
  CHECK(parse("+").error() == ParseIntError::Empty);
  CHECK(parse("-").error() == ParseIntError::InvalidDigit);
  CHECK(parse("++1").error() == ParseIntError::InvalidDigit);
  CHECK(parse("1 ").error() == ParseIntError::InvalidDigit);
  // Removal is left to right without overlap: the prefix split by another
  // prefix is not removed again.
  CHECK(parse("\\\\.\\DIS\\\\.\\DISPLAYPLAY1").error() == ParseIntError::InvalidDigit);
}

TEST(value_or_fault_names_the_error) {
  const Result<int, WindowsError> failed = Err(WindowsError(hr(0x8007ABCD), nullptr));
  std::string message;
  const HeldStderr held;
  try {
    Result<int, WindowsError>(Err(WindowsError(hr(0x8007ABCD), nullptr))).value_or_fault("Context");
  } catch (const Fault& fault) {
    message = fault.message();
  }
  CHECK_EQ(message, "Context: Error { code: HRESULT(0x8007ABCD), message: \"\" }");
  CHECK(held.wrote("test_errors.cpp:"));
  CHECK(!failed.ok());
}

}  // namespace
}  // namespace lumigrab::test
