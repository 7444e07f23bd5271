// Runs the Windows backend against the system it is on: display and window
// queries, error texts, a thread of ours with its message loop and dispatcher
// queue, and the Direct3D and capture entry points as far as the machine
// offers them. Prints what it finds and exits non-zero when a check fails.
//
//   lumigrab_probe.exe [--require-capture]
//
// Without --require-capture, a missing Direct3D 11.1 device or capture API
// (a virtual machine without a GPU, Windows older than 10 1803) is reported
// as skipped rather than failed. Under Wine, what Wine does not provide (a
// populated desktop, ntdll's message table) is skipped too.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "lib/utf16.h"
#include "lib/windows_error.h"
#include "platform/com_ptr.h"
#include "platform/platform.h"

// The SDK's own declarations, only to compare interface ids with ours.
#include <activation.h>
#include <d3d11.h>
#include <dxgi.h>
#include <inspectable.h>
#include <oaidl.h>
// d3d11.h makes this a macro, which would rewrite abi::D3D11_SDK_VERSION.
#undef D3D11_SDK_VERSION

namespace {

namespace abi = lumigrab::abi;
namespace platform = lumigrab::platform;
namespace win = lumigrab::win;
using lumigrab::ComPtr;

bool running_under_wine() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

class Checks {
 public:
  explicit Checks(bool require_capture)
      : require_capture_(require_capture), under_wine_(running_under_wine()) {}

  bool check(bool passed, const std::string& what) {
    std::printf("%s %s\n", passed ? "ok  " : "FAIL", what.c_str());
    (passed ? passed_ : failed_) += 1;
    return passed;
  }
  // A step of the capture stack, which some machines cannot do.
  bool capture_step(win::HRESULT result, bool has_object, const std::string& what) {
    if (win::succeeded(result) && has_object) {
      return check(true, what);
    }
    const std::string why = has_object || win::failed(result)
                                ? lumigrab::text_form(lumigrab::WindowsError::from_hresult(result))
                                : std::string("succeeded without an object");
    if (require_capture_) {
      return check(false, what + ": " + why);
    }
    std::printf("skip %s: %s\n", what.c_str(), why.c_str());
    return false;
  }
  // What every Windows desktop has but Wine lacks.
  bool check_beyond_wine(bool passed, const std::string& what) {
    if (!passed && under_wine_) {
      std::printf("skip %s: not provided by Wine\n", what.c_str());
      return false;
    }
    return check(passed, what);
  }
  static void note(const std::string& text) { std::printf("     %s\n", text.c_str()); }

  int finish() const {
    std::printf("%d passed, %d failed\n", passed_.load(), failed_.load());
    return failed_ == 0 ? 0 : 1;
  }

 private:
  bool require_capture_;
  bool under_wine_;
  // The probe's own thread checks too.
  std::atomic<int> passed_{0};
  std::atomic<int> failed_{0};
};

std::string text_of(const win::WCHAR* units, std::size_t capacity) {
  return lumigrab::decode_utf16_lossy(units, lumigrab::terminated_length(units, capacity));
}

std::string hex(win::HRESULT code) {
  return lumigrab::format_hresult(code);
}

bool ends_with(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// The interface ids the module declares itself must be the system's.
void check_interface_ids(Checks& checks) {
  checks.check(abi::IID_IUnknown == __uuidof(::IUnknown), "IID_IUnknown");
  checks.check(abi::IID_IInspectable == __uuidof(::IInspectable), "IID_IInspectable");
  checks.check(abi::IID_IAgileObject == __uuidof(::IAgileObject), "IID_IAgileObject");
  checks.check(abi::IID_IActivationFactory == __uuidof(::IActivationFactory),
               "IID_IActivationFactory");
  checks.check(abi::IID_IErrorInfo == __uuidof(::IErrorInfo), "IID_IErrorInfo");
  checks.check(abi::IID_IDXGIDevice == __uuidof(::IDXGIDevice), "IID_IDXGIDevice");
  checks.check(abi::IID_ID3D11Device == __uuidof(::ID3D11Device), "IID_ID3D11Device");
  checks.check(abi::IID_ID3D11DeviceContext == __uuidof(::ID3D11DeviceContext),
               "IID_ID3D11DeviceContext");
  checks.check(abi::IID_ID3D11Texture2D == __uuidof(::ID3D11Texture2D), "IID_ID3D11Texture2D");
}

BOOL CALLBACK collect_monitor(HMONITOR monitor, HDC, RECT*, LPARAM list) {
  reinterpret_cast<std::vector<HMONITOR>*>(list)->push_back(monitor);
  return TRUE;
}

void check_monitors(Checks& checks) {
  std::vector<HMONITOR> monitors;
  const BOOL listed = platform::EnumDisplayMonitors(nullptr, nullptr, collect_monitor,
                                                    reinterpret_cast<LPARAM>(&monitors));
  checks.check(listed != FALSE && !monitors.empty(),
               "EnumDisplayMonitors lists " + std::to_string(monitors.size()) + " monitor(s)");
  const HMONITOR primary = platform::MonitorFromPoint({0, 0}, win::MONITOR_DEFAULTTONULL_);
  checks.check(primary != nullptr, "MonitorFromPoint(0, 0) finds the primary monitor");

  for (std::size_t i = 0; i < monitors.size(); ++i) {
    const std::string label = "monitor " + std::to_string(i + 1);
    MONITORINFOEXW info{};
    info.cbSize = sizeof info;
    if (!checks.check(platform::GetMonitorInfoW(monitors[i], &info) != FALSE,
                      label + ": GetMonitorInfoW")) {
      continue;
    }
    const std::string device = text_of(info.szDevice, std::size(info.szDevice));
    checks.check(!device.empty(), label + ": device name " + device);

    DEVMODEW mode{};
    mode.dmSize = sizeof mode;
    if (checks.check(platform::EnumDisplaySettingsW(info.szDevice, win::ENUM_CURRENT_SETTINGS_,
                                                    &mode) != FALSE,
                     label + ": EnumDisplaySettingsW")) {
      checks.check(mode.dmPelsWidth > 0 && mode.dmPelsHeight > 0,
                   label + ": " + std::to_string(mode.dmPelsWidth) + "x" +
                       std::to_string(mode.dmPelsHeight) + " at " +
                       std::to_string(mode.dmDisplayFrequency) + " Hz");
    }

    DISPLAY_DEVICEW display{};
    display.cb = sizeof display;
    if (checks.check(platform::EnumDisplayDevicesW(info.szDevice, 0, &display, 0) != FALSE,
                     label + ": EnumDisplayDevicesW")) {
      Checks::note("device string: " +
                   text_of(display.DeviceString, std::size(display.DeviceString)));
    }
    if (monitors[i] == primary) {
      Checks::note("this is the primary monitor");
    }
  }
}

std::string window_title(HWND window) {
  const int length = platform::GetWindowTextLengthW(window);
  if (length <= 0) {
    return {};
  }
  std::vector<win::WCHAR> buffer(static_cast<std::size_t>(length) + 1);
  const int copied = platform::GetWindowTextW(window, buffer.data(), length + 1);
  return lumigrab::decode_utf16_lossy(buffer.data(), static_cast<std::size_t>(copied));
}

BOOL CALLBACK collect_window(HWND window, LPARAM list) {
  reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
  return TRUE;
}

void check_windows(Checks& checks) {
  std::vector<HWND> windows;
  const BOOL listed = platform::EnumChildWindows(platform::GetDesktopWindow(), collect_window,
                                                 reinterpret_cast<LPARAM>(&windows));
  checks.check_beyond_wine(
      listed != FALSE && !windows.empty(),
      "EnumChildWindows under the desktop lists " + std::to_string(windows.size()) + " window(s)");

  const HWND foreground = platform::GetForegroundWindow();
  if (foreground == nullptr) {
    Checks::note("no foreground window (a locked or non-interactive session)");
    return;
  }
  const std::string title = window_title(foreground);
  DWORD process_id = 0;
  platform::GetWindowThreadProcessId(foreground, &process_id);
  RECT client{};
  checks.check(platform::GetClientRect(foreground, &client) != FALSE,
               "foreground window \"" + title + "\" of process " + std::to_string(process_id) +
                   ", client area " + std::to_string(client.right - client.left) + "x" +
                   std::to_string(client.bottom - client.top));
  const LONG_PTR style = platform::GetWindowLongPtrW(foreground, win::GWL_STYLE_);
  Checks::note(std::string("visible: ") +
               (platform::IsWindowVisible(foreground) != FALSE ? "yes" : "no") +
               ", child: " + ((style & win::WS_CHILD_) != 0 ? "yes" : "no"));
  if (!title.empty()) {
    const lumigrab::WideString wide = lumigrab::encode_utf16(title);
    checks.check(platform::FindWindowW(nullptr, wide.c_str()) != nullptr,
                 "FindWindowW finds a window titled \"" + title + "\"");
  }
}

void check_error_texts(Checks& checks) {
  ::SetLastError(ERROR_ACCESS_DENIED);
  const auto denied = lumigrab::WindowsError::from_last_error();
  const std::string text = lumigrab::text_form(denied);
  checks.check(denied.code() == win::E_ACCESSDENIED_ && ends_with(text, " (0x80070005)") &&
                   text.size() > std::strlen(" (0x80070005)"),
               "last error 5: " + text);
  checks.check(lumigrab::WindowsError::hresult_from_win32(0) == 0, "last error 0 is code 0");

  // Customer-defined codes have no system text.
  const lumigrab::WindowsError unknown(static_cast<win::HRESULT>(0xA0001234U), nullptr);
  checks.check(lumigrab::text_form(unknown) == "0xA0001234",
               "a code without a message: " + lumigrab::text_form(unknown));

  // STATUS_ACCESS_DENIED with the NT-status bit: its text comes from ntdll.
  const lumigrab::WindowsError status(static_cast<win::HRESULT>(0xD0000022U), nullptr);
  checks.check_beyond_wine(!status.message().empty(),
                           "an NT status code: " + lumigrab::text_form(status));
}

// The ABI interfaces have no virtual destructor and must not grow one; the
// handler is only deleted by its own Release.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

// Ends the thread's message loop once the dispatcher queue has shut down.
class QuitWhenCompleted final : public abi::IAsyncActionCompletedHandler {
 public:
  QuitWhenCompleted() = default;
  QuitWhenCompleted(const QuitWhenCompleted&) = delete;
  QuitWhenCompleted& operator=(const QuitWhenCompleted&) = delete;

  HRESULT LUMIGRAB_STDCALL QueryInterface(const GUID& iid, void** out) override {
    if (out == nullptr) {
      return win::E_POINTER_;
    }
    if (iid == abi::IID_IUnknown || iid == abi::IID_IAgileObject ||
        iid == abi::IID_IAsyncActionCompletedHandler) {
      AddRef();
      *out = this;
      return win::S_OK_;
    }
    *out = nullptr;
    return win::E_NOINTERFACE_;
  }
  ULONG LUMIGRAB_STDCALL AddRef() override { return ++references_; }
  ULONG LUMIGRAB_STDCALL Release() override {
    const ULONG left = --references_;
    if (left == 0) {
      delete this;
    }
    return left;
  }
  HRESULT LUMIGRAB_STDCALL Invoke(abi::IAsyncAction*, abi::AsyncStatus) override {
    platform::PostQuitMessage(0);
    return win::S_OK_;
  }

 private:
  ~QuitWhenCompleted() = default;

  std::atomic<ULONG> references_{1};
};

#pragma GCC diagnostic pop

// Owns an HSTRING.
class RuntimeString {
 public:
  explicit RuntimeString(std::u16string_view text) {
    static_assert(sizeof(char16_t) == sizeof(win::WCHAR));
    result_ = platform::WindowsCreateString(reinterpret_cast<const win::WCHAR*>(text.data()),
                                            static_cast<UINT>(text.size()), &value_);
  }
  RuntimeString(const RuntimeString&) = delete;
  RuntimeString& operator=(const RuntimeString&) = delete;
  ~RuntimeString() { platform::WindowsDeleteString(value_); }

  win::HRESULT result() const { return result_; }
  abi::HSTRING get() const { return value_; }

 private:
  abi::HSTRING value_ = nullptr;
  win::HRESULT result_;
};

template <typename Interface>
ComPtr<Interface> activation_factory(Checks& checks, std::u16string_view class_name,
                                     const GUID& iid) {
  ComPtr<Interface> factory;
  const RuntimeString name(class_name);
  if (!checks.check(win::succeeded(name.result()), "WindowsCreateString")) {
    return factory;
  }
  const win::HRESULT result = platform::RoGetActivationFactory(name.get(), iid, factory.put_void());
  checks.capture_step(result, static_cast<bool>(factory), "RoGetActivationFactory");
  return factory;
}

// Direct3D device, capture item, and with a dispatcher queue on the thread
// also the frame pool and session, without starting the capture.
void check_capture_stack(Checks& checks, bool with_queue) {
  constexpr abi::D3D_FEATURE_LEVEL kLevels[] = {
      abi::D3D_FEATURE_LEVEL_11_1, abi::D3D_FEATURE_LEVEL_11_0, abi::D3D_FEATURE_LEVEL_10_1,
      abi::D3D_FEATURE_LEVEL_10_0, abi::D3D_FEATURE_LEVEL_9_3,  abi::D3D_FEATURE_LEVEL_9_2,
      abi::D3D_FEATURE_LEVEL_9_1};
  ComPtr<abi::ID3D11Device> device;
  ComPtr<abi::ID3D11DeviceContext> context;
  abi::D3D_FEATURE_LEVEL level{};
  win::HRESULT result = platform::D3D11CreateDevice(
      nullptr, abi::D3D_DRIVER_TYPE_HARDWARE, nullptr, abi::D3D11_CREATE_DEVICE_BGRA_SUPPORT,
      kLevels, static_cast<UINT>(std::size(kLevels)), abi::D3D11_SDK_VERSION, device.put(), &level,
      context.put());
  if (!checks.capture_step(result, device && context, "D3D11CreateDevice")) {
    return;
  }
  Checks::note("feature level " + hex(level));

  ComPtr<abi::IDXGIDevice> dxgi;
  result = device->QueryInterface(abi::IID_IDXGIDevice, dxgi.put_void());
  checks.check(win::succeeded(result) && dxgi, "the device answers IDXGIDevice");
  ComPtr<abi::IInspectable> inspectable;
  result = platform::CreateDirect3D11DeviceFromDXGIDevice(dxgi.get(), inspectable.put());
  if (!checks.capture_step(result, static_cast<bool>(inspectable),
                           "CreateDirect3D11DeviceFromDXGIDevice")) {
    return;
  }
  ComPtr<abi::IDirect3DDevice> direct3d;
  result = inspectable->QueryInterface(abi::IID_IDirect3DDevice, direct3d.put_void());
  checks.check(win::succeeded(result) && direct3d, "the wrapper answers IDirect3DDevice");

  const auto interop = activation_factory<abi::IGraphicsCaptureItemInterop>(
      checks, abi::kGraphicsCaptureItemClass, abi::IID_IGraphicsCaptureItemInterop);
  if (!interop) {
    return;
  }
  ComPtr<abi::IGraphicsCaptureItem> item;
  const HMONITOR primary = platform::MonitorFromPoint({0, 0}, win::MONITOR_DEFAULTTONULL_);
  result = interop->CreateForMonitor(primary, abi::IID_IGraphicsCaptureItem, item.put_void());
  if (!checks.capture_step(result, static_cast<bool>(item), "CreateForMonitor")) {
    return;
  }
  abi::SizeInt32 size{};
  result = item->get_Size(&size);
  checks.check(win::succeeded(result) && size.Width > 0 && size.Height > 0,
               "item size " + std::to_string(size.Width) + "x" + std::to_string(size.Height));

  const auto statics = activation_factory<abi::IDirect3D11CaptureFramePoolStatics>(
      checks, abi::kFramePoolClass, abi::IID_IDirect3D11CaptureFramePoolStatics);
  if (!with_queue || !statics || !direct3d) {
    return;
  }
  ComPtr<abi::IDirect3D11CaptureFramePool> pool;
  result = statics->Create(direct3d.get(), abi::DirectXPixelFormat_R8G8B8A8UIntNormalized, 1, size,
                           pool.put());
  if (!checks.capture_step(result, static_cast<bool>(pool), "frame pool Create")) {
    return;
  }
  ComPtr<abi::IGraphicsCaptureSession> session;
  result = pool->CreateCaptureSession(item.get(), session.put());
  checks.capture_step(result, static_cast<bool>(session), "CreateCaptureSession");
  for (abi::IUnknown* closable_object :
       {static_cast<abi::IUnknown*>(pool.get()), static_cast<abi::IUnknown*>(session.get())}) {
    ComPtr<abi::IClosable> closable;
    if (closable_object != nullptr &&
        win::succeeded(closable_object->QueryInterface(abi::IID_IClosable, closable.put_void())) &&
        closable) {
      checks.check(win::succeeded(closable->Close()), "IClosable Close");
    }
  }
}

void pump_until_quit() {
  MSG msg{};
  while (platform::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    platform::TranslateMessage(&msg);
    platform::DispatchMessageW(&msg);
  }
}

void set_thread_description(const wchar_t* name) {
  using SetThreadDescriptionProc = HRESULT(WINAPI*)(HANDLE thread, const wchar_t* description);
  const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
  const FARPROC address = ::GetProcAddress(kernel32, "SetThreadDescription");
  if (address != nullptr) {
    reinterpret_cast<SetThreadDescriptionProc>(reinterpret_cast<void (*)()>(address))(
        ::GetCurrentThread(), name);
  }
}

// The body of the thread the probe starts: it mirrors the life of a capture
// thread.
void run_thread(Checks& checks, std::promise<DWORD>& id) {
  set_thread_description(L"lumigrab probe \u00e9");
  const std::string name = platform::current_thread_name();
  Checks::note("thread name: \"" + name + "\"");
  checks.check(name.empty() || name == "lumigrab probe \xc3\xa9", "current_thread_name");

  const win::HRESULT initialized = platform::RoInitialize(1);  // RO_INIT_MULTITHREADED
  checks.check(win::succeeded(initialized), "RoInitialize(RO_INIT_MULTITHREADED)");

  ComPtr<abi::IDispatcherQueueController> controller;
  const win::HRESULT created = platform::CreateDispatcherQueueController(
      {sizeof(abi::DispatcherQueueOptions), abi::DQTYPE_THREAD_CURRENT, abi::DQTAT_COM_NONE},
      controller.put());
  checks.capture_step(created, static_cast<bool>(controller), "CreateDispatcherQueueController");
  check_capture_stack(checks, static_cast<bool>(controller));

  // Makes sure the thread has a message queue before its id is handed out.
  MSG msg{};
  ::PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  id.set_value(platform::GetCurrentThreadId());
  pump_until_quit();
  checks.check(true, "the thread's loop ended on WM_QUIT from PostThreadMessageW");

  if (controller) {
    ComPtr<abi::IAsyncAction> shutdown;
    const win::HRESULT result = controller->ShutdownQueueAsync(shutdown.put());
    if (checks.check(win::succeeded(result) && shutdown, "ShutdownQueueAsync")) {
      const auto handler = ComPtr<QuitWhenCompleted>::attach(new QuitWhenCompleted);
      if (checks.check(win::succeeded(shutdown->put_Completed(handler.get())), "put_Completed")) {
        pump_until_quit();
        checks.check(true, "the queue's shutdown completed");
      }
    }
  }
  if (win::succeeded(initialized)) {
    platform::RoUninitialize();
  }
}

void check_thread(Checks& checks) {
  std::promise<DWORD> id;
  std::future<DWORD> published = id.get_future();
  std::thread thread = platform::spawn_thread([&checks, &id] { run_thread(checks, id); });
  const DWORD thread_id = published.get();
  if (!checks.check(platform::PostThreadMessageW(thread_id, win::WM_QUIT_, 0, 0) != FALSE,
                    "PostThreadMessageW(WM_QUIT)")) {
    // Nothing else can end the thread's loop, and joining it would hang.
    std::fflush(stdout);
    std::_Exit(checks.finish());
  }
  thread.join();
}

}  // namespace

int main(int argc, char** argv) {
  const bool require_capture = argc > 1 && std::string_view(argv[1]) == "--require-capture";
  Checks checks(require_capture);
  checks.check(std::string_view(platform::backend_name()) == "windows", "backend is windows");
  check_interface_ids(checks);
  check_monitors(checks);
  check_windows(checks);
  check_error_texts(checks);
  check_thread(checks);
  std::fflush(stdout);
  platform::write_backtrace();
  return checks.finish();
}
