// Error text: the last error, system message tables, BSTRs and the error
// information a failing call leaves on its thread; those of platform/posix,
// with each call logged and open to an injected fault.
#include "platform/platform.h"
#include "platform/posix/errors.h"
#include "platform/simulated/sim_core.h"
#include "platform/simulated/sim_internal.h"

namespace lumigrab::sim {

BSTR make_bstr(std::u16string_view text) {
  return posix::make_bstr(text);
}

void set_thread_error_info(std::u16string description,
                           std::optional<std::u16string> restricted_description) {
  posix::set_thread_error_info(std::move(description), std::move(restricted_description));
}

void set_system_message(DWORD message_id, std::optional<std::u16string> text, bool ntdll) {
  posix::set_system_message(message_id, std::move(text), ntdll);
}

void detail::reset_error_text() {
  posix::reset_message_tables();
  posix::take_thread_error_info();
}

}  // namespace lumigrab::sim

namespace lumigrab::platform {

using sim::detail::hex;

DWORD GetLastError() {
  sim::log_call("GetLastError()");
  return sim::last_error();
}

DWORD FormatMessageW(DWORD flags, const void* source, DWORD message_id, DWORD language_id,
                     WCHAR** buffer) {
  sim::log_call("FormatMessageW(" + hex(flags) + ", " + sim::detail::module_text(source) + ", " +
                hex(message_id) + ", " + std::to_string(language_id) + ")");
  if (sim::detail::fails("FormatMessageW")) {
    return 0;
  }
  return posix::format_message(flags, source, message_id, buffer);
}

void FreeFormatMessageBuffer(WCHAR* buffer) {
  sim::log_call("FreeFormatMessageBuffer()");
  posix::free_message_buffer(buffer);
}

HRESULT GetErrorInfo(ULONG reserved, abi::IErrorInfo** info) {
  sim::log_call("GetErrorInfo(" + std::to_string(reserved) + ")");
  if (info == nullptr) {
    return E_POINTER_;
  }
  *info = nullptr;
  if (const std::optional<sim::FaultSpec> fault = sim::take_fault("GetErrorInfo")) {
    return fault->mode == sim::FaultSpec::Mode::NoResult ? S_OK_
                                                         : static_cast<HRESULT>(fault->code);
  }
  *info = posix::take_thread_error_info().detach();
  return *info == nullptr ? S_FALSE_ : S_OK_;
}

HRESULT SetErrorInfo(ULONG reserved, abi::IErrorInfo* info) {
  sim::log_call("SetErrorInfo(" + std::to_string(reserved) + ", " +
                (info == nullptr ? "NULL" : "info") + ")");
  posix::put_thread_error_info(info);
  return S_OK_;
}

void SysFreeString(BSTR string) {
  sim::log_call("SysFreeString(" +
                (string == nullptr ? std::string("NULL")
                                   : sim::detail::quoted({string, SysStringLen(string)})) +
                ")");
  posix::free_bstr(string);
}

UINT SysStringLen(BSTR string) {
  return posix::bstr_length(string);
}

}  // namespace lumigrab::platform
