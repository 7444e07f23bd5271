// What the Windows test programs share: where they run, the window host
// process, the capture component beside the program, and waits that cannot
// hang a run.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "platform/win_types.h"

namespace lumigrab::test {

// Wine's ntdll exports wine_get_version; Windows' does not. Some system texts
// and values are Wine's own, and the checks of them say so.
bool running_under_wine();

// The directory of the running program, with a trailing backslash.
std::wstring program_directory();

// The screen size the run was started with ("WIDTHxHEIGHT" in
// LUMIGRAB_TEST_SCREEN), if any.
struct ScreenSize {
  std::uint32_t width;
  std::uint32_t height;
};
std::optional<ScreenSize> expected_screen();

// Runs `body` on a thread of its own and waits for it at most `limit`. A body
// still running then ends the whole program with a failure, since neither
// joining nor leaving the thread behind would let the run finish.
void finish_within(std::chrono::seconds limit, const char* what, const std::function<void()>& body);

// lumigrab_window_host.exe, started on first use with every window of
// host_titles.h open, and told to exit when the program ends.
class WindowHost {
 public:
  static WindowHost& get();

  WindowHost(const WindowHost&) = delete;
  WindowHost& operator=(const WindowHost&) = delete;
  ~WindowHost();

  bool running() const { return process_ != nullptr; }
  win::DWORD process_id() const { return process_id_; }

 private:
  WindowHost();

  void* ready_ = nullptr;
  void* quit_ = nullptr;
  void* process_ = nullptr;
  win::DWORD process_id_ = 0;
};

// Copies the stand-in capture component (a Windows.Graphics.Capture.dll whose
// factory makes items of a fixed size) from beside the program into the
// system directory, the one place the module's library fallback looks.
// .ci/wine.sh removes it again before the tests run.
void install_capture_component();

// Live items of the stand-in component, or -1 when it is not loaded.
long live_component_items();

}  // namespace lumigrab::test
