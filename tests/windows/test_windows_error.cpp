// The Windows error value against the system's own message tables and error
// information objects.
#include <string>

#include "harness.h"
#include "lib/windows_error.h"
#include "platform/platform.h"
#include "wine_support.h"

// After the module's headers, which bring in windows.h as it needs it.
#include <oleauto.h>

namespace lumigrab::test {

TEST(last_error_5_is_access_denied_with_the_systems_text) {
  ::SetLastError(ERROR_ACCESS_DENIED);
  const WindowsError error = WindowsError::from_last_error();
  CHECK_EQ(static_cast<std::uint32_t>(error.code()), 0x80070005U);
  CHECK(error.info() == nullptr);

  // The system's text ends in a line break, which must not reach the message.
  const std::string message = error.message();
  CHECK(!message.empty());
  CHECK(message.find_last_of("\r\n\t ") != message.size() - 1);
  CHECK_EQ(text_form(error), message + " (0x80070005)");
  CHECK_EQ(debug_form(error), "Error { code: HRESULT(0x80070005), message: \"" + message + "\" }");
  // Windows says "Access is denied."
  if (running_under_wine()) {
    CHECK_EQ(message, std::string("Access denied."));
  }
}

TEST(a_code_without_a_system_message_is_the_code_alone) {
  // Customer-defined codes have no system text anywhere; Wine has none for
  // "class not registered" and E_NOINTERFACE either.
  const WindowsError customer(static_cast<win::HRESULT>(0xA0001234U), nullptr);
  CHECK_EQ(text_form(customer), std::string("0xA0001234"));
  CHECK_EQ(debug_form(customer), std::string("Error { code: HRESULT(0xA0001234), message: \"\" }"));
  if (running_under_wine()) {
    CHECK_EQ(text_form(WindowsError(win::REGDB_E_CLASSNOTREG_, nullptr)),
             std::string("0x80040154"));
    CHECK_EQ(text_form(WindowsError::no_interface()), std::string("0x80004002"));
  }
}

TEST(error_information_left_by_a_failed_call_is_taken_with_its_code) {
  ICreateErrorInfo* creator = nullptr;
  CHECK(SUCCEEDED(::CreateErrorInfo(&creator)) && creator != nullptr);
  if (creator == nullptr) {
    return;
  }
  creator->SetDescription(const_cast<wchar_t*>(L"The capture item has gone away.\r\n"));
  ComPtr<abi::IErrorInfo> info;
  creator->QueryInterface(abi::IID_IErrorInfo, info.put_void());
  creator->Release();
  CHECK(info);
  CHECK(SUCCEEDED(platform::SetErrorInfo(0, info.get())));

  const WindowsError error = WindowsError::from_hresult(win::E_FAIL_);
  CHECK(error.info() == info.get());
  CHECK_EQ(error.message(), std::string("The capture item has gone away."));
  CHECK_EQ(text_form(error), std::string("The capture item has gone away. (0x80004005)"));

  // Taking it cleared the thread's error information.
  ComPtr<abi::IErrorInfo> left;
  CHECK_EQ(platform::GetErrorInfo(0, left.put()), win::S_FALSE_);
  CHECK(!left);
}

}  // namespace lumigrab::test
