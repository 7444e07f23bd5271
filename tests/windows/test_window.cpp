// Windows of another process (lumigrab_window_host.exe) and of this one,
// through the validity test, titles, lookup, enumeration and the foreground.
#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "host_titles.h"
#include "lib/utf16.h"
#include "platform/platform.h"
#include "window/window.h"
#include "wine_support.h"

namespace lumigrab::test {
namespace {

std::string utf8(const wchar_t* title) {
  std::wstring_view units(title);
  return decode_utf16_lossy(reinterpret_cast<const win::WCHAR*>(units.data()), units.size());
}

// The host's top-level window with this title, found by the module's lookup.
HWND host_window(const wchar_t* title) {
  auto found = window::find_window(utf8(title));
  if (!found) {
    return nullptr;
  }
  DWORD owner = 0;
  ::GetWindowThreadProcessId(found.value(), &owner);
  return owner == WindowHost::get().process_id() ? found.value() : nullptr;
}

bool listed(const std::vector<HWND>& windows, HWND window) {
  return std::find(windows.begin(), windows.end(), window) != windows.end();
}

bool wait_until_gone(HWND window) {
  for (int tries = 0; tries < 500 && ::IsWindow(window) != FALSE; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return ::IsWindow(window) == FALSE;
}

// A shown window of this process, destroyed with the holder.
class OwnWindow {
 public:
  explicit OwnWindow(const wchar_t* title)
      : window_(::CreateWindowExW(0, L"STATIC", title, WS_OVERLAPPEDWINDOW, 0, 0, 160, 90, nullptr,
                                  nullptr, ::GetModuleHandleW(nullptr), nullptr)) {
    // Shown without taking the foreground from the host.
    ::ShowWindow(window_, SW_SHOWNOACTIVATE);
  }
  OwnWindow(const OwnWindow&) = delete;
  OwnWindow& operator=(const OwnWindow&) = delete;
  ~OwnWindow() {
    if (window_ != nullptr) {
      ::DestroyWindow(window_);
    }
  }
  HWND get() const { return window_; }

 private:
  HWND window_;
};

}  // namespace

TEST(windows_of_another_process_are_found_by_their_exact_title) {
  CHECK(WindowHost::get().running());
  for (const wchar_t* title : {host::kPlain, host::kAscii, host::kTool, host::kHidden}) {
    const HWND window = host_window(title);
    CHECK(window != nullptr);
    auto name = window::window_title(window);
    CHECK(name.ok() && name.value() == utf8(title));
  }
  CHECK_EQ(utf8(host::kPlain), std::string(host::kPlainUtf8));

  auto missing = window::find_window("lumigrab host that is not there");
  CHECK(!missing.ok());
  if (!missing) {
    CHECK_EQ(text_form(missing.error()),
             std::string("Failed to find window with name 'lumigrab host that is not there'"));
  }
  // Only top-level windows are found by title.
  CHECK(!window::find_window(utf8(host::kChild)).ok());
}

TEST(the_validity_test_takes_shown_plain_windows_of_other_processes_only) {
  const HWND plain = host_window(host::kPlain);
  CHECK(window::is_valid_window(plain));
  CHECK(window::is_valid_window(host_window(host::kAscii)));
  CHECK(!window::is_valid_window(host_window(host::kTool)));
  CHECK(!window::is_valid_window(host_window(host::kHidden)));
  const HWND child = ::FindWindowExW(plain, nullptr, nullptr, host::kChild);
  CHECK(child != nullptr);
  CHECK(::IsWindowVisible(child) != FALSE);
  CHECK(!window::is_valid_window(child));
}

TEST(enumeration_lists_every_valid_window_and_nothing_else) {
  auto windows = window::enumerate_windows();
  CHECK(windows.ok());
  if (!windows) {
    return;
  }
  const auto& list = windows.value();
  const HWND plain = host_window(host::kPlain);
  CHECK(listed(list, plain));
  CHECK(listed(list, host_window(host::kAscii)));
  CHECK(!listed(list, host_window(host::kTool)));
  CHECK(!listed(list, host_window(host::kHidden)));
  CHECK(!listed(list, ::FindWindowExW(plain, nullptr, nullptr, host::kChild)));
  CHECK(std::all_of(list.begin(), list.end(), window::is_valid_window));
}

TEST(the_foreground_window_is_the_one_the_host_brought_forward) {
  auto foreground = window::foreground_window();
  CHECK(foreground.ok());
  CHECK(foreground.ok() && foreground.value() == host_window(host::kPlain));
}

TEST(a_window_of_this_process_is_found_but_neither_valid_nor_listed) {
  const OwnWindow own(L"lumigrab own window");
  CHECK(own.get() != nullptr);
  CHECK(::IsWindowVisible(own.get()) != FALSE);
  auto found = window::find_window("lumigrab own window");
  CHECK(found.ok() && found.value() == own.get());
  CHECK(!window::is_valid_window(own.get()));
  auto windows = window::enumerate_windows();
  CHECK(windows.ok() && !listed(windows.value(), own.get()));
}

TEST(a_closed_window_is_not_valid_and_has_an_empty_title) {
  const HWND closing = host_window(host::kClosing);
  CHECK(closing != nullptr);
  CHECK(window::is_valid_window(closing));
  CHECK(::PostMessageW(closing, WM_CLOSE, 0, 0) != FALSE);
  CHECK(wait_until_gone(closing));

  CHECK(!window::is_valid_window(closing));
  auto name = window::window_title(closing);
  CHECK(name.ok() && name.value().empty());
  auto windows = window::enumerate_windows();
  CHECK(windows.ok() && !listed(windows.value(), closing));
}

}  // namespace lumigrab::test
