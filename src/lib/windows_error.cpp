#include "lib/windows_error.h"

#include <cstdio>
#include <optional>

#include "lib/loaded_library.h"
#include "lib/utf16.h"
#include "platform/platform.h"

namespace lumigrab {
namespace {

// Frees a BSTR handed out by an error-information object.
class BstrHolder {
 public:
  BstrHolder() = default;
  BstrHolder(const BstrHolder&) = delete;
  BstrHolder& operator=(const BstrHolder&) = delete;
  ~BstrHolder() { platform::SysFreeString(value_); }

  win::BSTR* put() { return &value_; }
  WideString text() const {
    if (value_ == nullptr) {
      return {};
    }
    return {value_, platform::SysStringLen(value_)};
  }

 private:
  win::BSTR value_ = nullptr;
};

WideString restricted_description(abi::IErrorInfo* info) {
  ComPtr<abi::IRestrictedErrorInfo> restricted;
  if (win::failed(info->QueryInterface(abi::IID_IRestrictedErrorInfo, restricted.put_void())) ||
      !restricted) {
    return {};
  }
  BstrHolder description;
  BstrHolder restricted_text;
  BstrHolder capability_sid;
  win::HRESULT code = 0;
  if (win::failed(restricted->GetErrorDetails(description.put(), &code, restricted_text.put(),
                                              capability_sid.put()))) {
    return {};
  }
  WideString text = restricted_text.text();
  return text.empty() ? description.text() : text;
}

WideString error_info_text(abi::IErrorInfo* info) {
  WideString text = restricted_description(info);
  if (text.empty()) {
    BstrHolder description;
    if (win::succeeded(info->GetDescription(description.put()))) {
      text = description.text();
    }
  }
  return text;
}

WideString system_text(win::HRESULT code) {
  auto message_id = static_cast<win::DWORD>(code);
  win::DWORD flags = win::FORMAT_MESSAGE_ALLOCATE_BUFFER_ | win::FORMAT_MESSAGE_FROM_SYSTEM_ |
                     win::FORMAT_MESSAGE_IGNORE_INSERTS_;
  // NT status codes carry the facility bit 0x10000000; their texts live in ntdll.
  constexpr win::DWORD kNtStatusBit = 0x10000000U;
  std::optional<LoadedLibrary> ntdll;
  if ((message_id & kNtStatusBit) != 0) {
    message_id &= ~kNtStatusBit;
    ntdll.emplace("ntdll.dll");
    flags |= win::FORMAT_MESSAGE_FROM_HMODULE_;
  }
  win::WCHAR* buffer = nullptr;
  const win::DWORD length = platform::FormatMessageW(
      flags, ntdll ? static_cast<const void*>(ntdll->get()) : nullptr, message_id, 0, &buffer);
  if (buffer == nullptr) {
    return {};
  }
  WideString text(buffer, length);
  platform::FreeFormatMessageBuffer(buffer);
  return text;
}

bool is_trailing_space(win::WCHAR unit) {
  return unit == u'\t' || unit == u'\n' || unit == u'\v' || unit == u'\f' || unit == u'\r' ||
         unit == u' ';
}

}  // namespace

WindowsError WindowsError::from_hresult(win::HRESULT code) {
  ComPtr<abi::IErrorInfo> info;
  if (platform::GetErrorInfo(0, info.put()) != win::S_OK_) {
    info.reset();
  }
  return {code, std::move(info)};
}

WindowsError WindowsError::from_last_error() {
  return {hresult_from_win32(platform::GetLastError()), nullptr};
}

WindowsError WindowsError::missing_result() {
  return {0, nullptr};
}

WindowsError WindowsError::no_interface() {
  return {win::E_NOINTERFACE_, nullptr};
}

std::string WindowsError::message() const {
  WideString text = info_ ? error_info_text(info_.get()) : system_text(code_);
  while (!text.empty() && is_trailing_space(text.back())) {
    text.pop_back();
  }
  return decode_utf16_lossy(text.data(), text.size());
}

std::string format_hresult(win::HRESULT code) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "0x%08X", static_cast<unsigned>(code));
  return digits;
}

std::string text_form(const WindowsError& error) {
  const std::string message = error.message();
  const std::string code = format_hresult(error.code());
  return message.empty() ? code : message + " (" + code + ")";
}

std::string debug_form(const WindowsError& error) {
  return "Error { code: HRESULT(" + format_hresult(error.code()) +
         "), message: " + quote_for_debug(error.message()) + " }";
}

}  // namespace lumigrab
