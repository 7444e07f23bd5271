// Windows Runtime activation, strings and error information (combase, ole32,
// oleaut32) and the dispatcher queue (CoreMessaging).
#include "platform/platform.h"
#include "platform/windows/sdk.h"
#include "platform/windows/system_export.h"

namespace lumigrab::platform {

HRESULT RoInitialize(std::int32_t init_type) {
  return ::RoInitialize(static_cast<RO_INIT_TYPE>(init_type));
}

void RoUninitialize() {
  ::RoUninitialize();
}

HRESULT WindowsCreateString(const WCHAR* source, UINT length, abi::HSTRING* string) {
  return ::WindowsCreateString(source, length, reinterpret_cast<::HSTRING*>(string));
}

HRESULT WindowsDeleteString(abi::HSTRING string) {
  return ::WindowsDeleteString(reinterpret_cast<::HSTRING>(string));
}

HRESULT RoGetActivationFactory(abi::HSTRING class_id, const GUID& iid, void** factory) {
  return ::RoGetActivationFactory(reinterpret_cast<::HSTRING>(class_id), iid, factory);
}

HRESULT CoIncrementMTAUsage(void** cookie) {
  return ::CoIncrementMTAUsage(reinterpret_cast<CO_MTA_USAGE_COOKIE*>(cookie));
}

HRESULT GetErrorInfo(ULONG reserved, abi::IErrorInfo** info) {
  return ::GetErrorInfo(reserved, reinterpret_cast<::IErrorInfo**>(info));
}

HRESULT SetErrorInfo(ULONG reserved, abi::IErrorInfo* info) {
  return ::SetErrorInfo(reserved, reinterpret_cast<::IErrorInfo*>(info));
}

void SysFreeString(BSTR string) {
  ::SysFreeString(string);
}

UINT SysStringLen(BSTR string) {
  return ::SysStringLen(string);
}

HRESULT CreateDispatcherQueueController(abi::DispatcherQueueOptions options,
                                        abi::IDispatcherQueueController** controller) {
  // CoreMessaging.dll exists from Windows 10 1709 on, and mingw-w64 has no
  // import library for it: looked up at run time.
  using CreateProc = HRESULT(WINAPI*)(abi::DispatcherQueueOptions options,
                                      abi::IDispatcherQueueController * *controller);
  static const windows::SystemExport create(L"CoreMessaging.dll",
                                            "CreateDispatcherQueueController");
  const auto call = create.get<CreateProc>();
  if (call == nullptr) {
    return create.error();
  }
  return call(options, controller);
}

}  // namespace lumigrab::platform
