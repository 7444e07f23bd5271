#include "wine_support.h"

#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "platform/platform.h"

namespace lumigrab::test {
namespace {

constexpr auto kHostStartLimit = std::chrono::seconds(30);
constexpr auto kHostExitLimit = std::chrono::seconds(10);

// GetProcAddress hands out every export under one generic type.
template <typename Function>
Function export_of(const wchar_t* module_name, const char* name) {
  const HMODULE module = ::GetModuleHandleW(module_name);
  if (module == nullptr) {
    return nullptr;
  }
  const FARPROC address = ::GetProcAddress(module, name);
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

void close_handle(void*& handle) {
  if (handle != nullptr) {
    ::CloseHandle(handle);
    handle = nullptr;
  }
}

}  // namespace

bool running_under_wine() {
  using VersionProc = const char* (*)();
  return export_of<VersionProc>(L"ntdll.dll", "wine_get_version") != nullptr;
}

std::wstring program_directory() {
  wchar_t path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring directory(path, length);
  directory.resize(directory.find_last_of(L"\\/") + 1);
  return directory;
}

std::optional<ScreenSize> expected_screen() {
  const char* text = std::getenv("LUMIGRAB_TEST_SCREEN");
  unsigned width = 0;
  unsigned height = 0;
  if (text == nullptr || std::sscanf(text, "%ux%u", &width, &height) != 2) {
    return std::nullopt;
  }
  return ScreenSize{width, height};
}

void finish_within(std::chrono::seconds limit, const char* what,
                   const std::function<void()>& body) {
  std::packaged_task<void()> task(body);
  std::future<void> done = task.get_future();
  std::thread runner(std::move(task));
  if (done.wait_for(limit) != std::future_status::ready) {
    std::fprintf(stderr, "FAILED: %s did not finish within %lld s\n", what,
                 static_cast<long long>(limit.count()));
    std::fflush(nullptr);
    std::_Exit(3);
  }
  runner.join();
  done.get();
}

WindowHost& WindowHost::get() {
  static WindowHost host;
  return host;
}

WindowHost::WindowHost() {
  const std::wstring suffix = std::to_wstring(::GetCurrentProcessId());
  const std::wstring ready_name = L"lumigrab-host-ready-" + suffix;
  const std::wstring quit_name = L"lumigrab-host-quit-" + suffix;
  ready_ = ::CreateEventW(nullptr, TRUE, FALSE, ready_name.c_str());
  quit_ = ::CreateEventW(nullptr, TRUE, FALSE, quit_name.c_str());
  if (ready_ == nullptr || quit_ == nullptr) {
    return;
  }
  std::wstring command =
      L"\"" + program_directory() + L"lumigrab_window_host.exe\" " + ready_name + L" " + quit_name;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &started) == FALSE) {
    std::fprintf(stderr, "window host: CreateProcessW failed with error %lu\n", ::GetLastError());
    return;
  }
  ::CloseHandle(started.hThread);
  const HANDLE waited[] = {ready_, started.hProcess};
  const auto limit = static_cast<DWORD>(std::chrono::milliseconds(kHostStartLimit).count());
  if (::WaitForMultipleObjects(2, waited, FALSE, limit) != WAIT_OBJECT_0) {
    std::fputs("window host: not ready in time, or exited\n", stderr);
    ::TerminateProcess(started.hProcess, 1);
    ::CloseHandle(started.hProcess);
    return;
  }
  process_ = started.hProcess;
  process_id_ = started.dwProcessId;
}

WindowHost::~WindowHost() {
  if (process_ != nullptr) {
    ::SetEvent(quit_);
    const auto limit = static_cast<DWORD>(std::chrono::milliseconds(kHostExitLimit).count());
    if (::WaitForSingleObject(process_, limit) != WAIT_OBJECT_0) {
      ::TerminateProcess(process_, 1);
    }
  }
  close_handle(process_);
  close_handle(quit_);
  close_handle(ready_);
}

void install_capture_component() {
  static const bool installed = [] {
    wchar_t system[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
      return false;
    }
    const std::wstring from = program_directory() + L"component\\Windows.Graphics.Capture.dll";
    const std::wstring to = std::wstring(system, length) + L"\\Windows.Graphics.Capture.dll";
    return ::CopyFileW(from.c_str(), to.c_str(), FALSE) != 0;
  }();
  if (!installed) {
    std::fputs("the capture component could not be installed\n", stderr);
  }
}

long live_component_items() {
  using LiveProc = long (*)();
  const auto live = export_of<LiveProc>(L"Windows.Graphics.Capture.dll", "lumigrab_live_items");
  return live == nullptr ? -1 : live();
}

}  // namespace lumigrab::test
