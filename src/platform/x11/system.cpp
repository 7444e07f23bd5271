// Thread messages, processes, error text, libraries and the Windows Runtime
// core, over what the POSIX backends share.
#include <cstdlib>
#include <system_error>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/errors.h"
#include "platform/posix/libraries.h"
#include "platform/posix/messages.h"
#include "platform/posix/runtime.h"
#include "platform/x11/x11_internal.h"

namespace lumigrab::platform::with_x11 {

const char* backend_name() noexcept {
  return "x11";
}

std::optional<std::string> desktop_unreachable() {
  return x11::unreachable_reason();
}

bool cursor_captured_by_default() noexcept {
  return false;
}

// --- thread messages, threads and the process ---

BOOL PostThreadMessageW(DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam) {
  const MSG msg = posix::thread_message(message, wparam, lparam);
  return posix::post_thread_message(thread_id, msg) ? 1 : 0;
}

BOOL GetMessageW(MSG* msg, HWND window, UINT filter_min, UINT filter_max) {
  return posix::get_message(msg, window, filter_min, filter_max);
}

BOOL TranslateMessage(const MSG* /*msg*/) {
  return 0;
}  // no keyboard messages to translate

LRESULT DispatchMessageW(const MSG* msg) {
  posix::dispatch_message(msg);
  return 0;
}

void PostQuitMessage(int exit_code) {
  posix::post_quit_message(exit_code);
}

DWORD GetCurrentThreadId() {
  return posix::current_thread_id();
}

// The real id: window owners (_NET_WM_PID) are compared with it.
DWORD GetCurrentProcessId() {
  return static_cast<DWORD>(getpid());
}

std::thread spawn_thread(std::function<void()> body) {
  return std::thread(std::move(body));
}

std::string current_thread_name() {
  return posix::current_thread_name();
}

std::optional<std::string> environment_variable(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::nullopt : std::optional<std::string>(value);
}

void write_backtrace() {
  posix::write_backtrace();
}

// --- error text ---

DWORD GetLastError() {
  return posix::last_error();
}

DWORD FormatMessageW(DWORD flags, const void* source, DWORD message_id, DWORD /*language_id*/,
                     WCHAR** buffer) {
  return posix::format_message(flags, source, message_id, buffer);
}

void FreeFormatMessageBuffer(WCHAR* buffer) {
  posix::free_message_buffer(buffer);
}

HRESULT GetErrorInfo(ULONG /*reserved*/, abi::IErrorInfo** info) {
  if (info == nullptr) {
    return E_POINTER_;
  }
  *info = posix::take_thread_error_info().detach();
  return *info == nullptr ? S_FALSE_ : S_OK_;
}

HRESULT SetErrorInfo(ULONG /*reserved*/, abi::IErrorInfo* info) {
  posix::put_thread_error_info(info);
  return S_OK_;
}

void SysFreeString(BSTR string) {
  posix::free_bstr(string);
}

UINT SysStringLen(BSTR string) {
  return posix::bstr_length(string);
}

// --- libraries ---

HMODULE LoadLibraryExA(const char* file_name, void* file, DWORD /*flags*/) {
  return posix::load_library(file_name, file);
}

FARPROC GetProcAddress(HMODULE module, const char* name) {
  return posix::get_proc_address(module, name);
}

BOOL FreeLibrary(HMODULE module) {
  return posix::free_library(module);
}

// --- runtime activation ---

HRESULT RoInitialize(std::int32_t init_type) {
  return posix::initialize_apartment(init_type);
}

void RoUninitialize() {
  posix::uninitialize_apartment();
}

HRESULT WindowsCreateString(const WCHAR* source, UINT length, abi::HSTRING* string) {
  return posix::create_string(source, length, string);
}

HRESULT WindowsDeleteString(abi::HSTRING string) {
  posix::delete_string(string);
  return S_OK_;
}

HRESULT RoGetActivationFactory(abi::HSTRING class_id, const GUID& iid, void** factory) {
  return posix::get_activation_factory(class_id, iid, factory, &x11::make_capture_factory);
}

HRESULT CoIncrementMTAUsage(void** cookie) {
  static const char mta_cookie = 0;
  if (cookie == nullptr) {
    return E_INVALIDARG_;
  }
  posix::enter_process_mta();
  // An opaque token; the process never gives it back.
  *cookie = const_cast<char*>(&mta_cookie);
  return S_OK_;
}

HRESULT CreateDispatcherQueueController(abi::DispatcherQueueOptions options,
                                        abi::IDispatcherQueueController** controller) {
  if (controller == nullptr) {
    return E_POINTER_;
  }
  *controller = nullptr;
  return posix::create_queue_controller(options, controller);
}

}  // namespace lumigrab::platform::with_x11
