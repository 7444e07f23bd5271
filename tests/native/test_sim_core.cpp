// The simulated desktop's own machinery: thread message queues across
// threads, error information handed over by GetErrorInfo, message tables,
// faults and the display and window details the logic's tests rely on.
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "platform/com_ptr.h"
#include "platform/platform.h"
#include "platform/simulated/sim_core.h"

namespace lumigrab::test {
namespace {

namespace platform = lumigrab::platform;
using namespace lumigrab::win;  // NOLINT(google-build-using-namespace)

constexpr UINT kUserMessage = 0x0400;

long live(const std::string& kind) {
  const auto counts = sim::live_counts();
  const auto found = counts.find(kind);
  return found == counts.end() ? 0 : found->second;
}

// A thread that makes its queue, tells its id, then pumps until WM_QUIT.
class Pump {
 public:
  Pump() {
    std::promise<DWORD> id;
    std::future<DWORD> published = id.get_future();
    thread_ = std::thread([this, id = std::move(id)]() mutable {
      sim::ensure_message_queue();
      id.set_value(sim::current_thread_id());
      MSG msg{};
      while (platform::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        received_.push_back(msg);
        platform::TranslateMessage(&msg);
        platform::DispatchMessageW(&msg);
      }
      quit_ = msg;
    });
    id_ = published.get();
  }
  Pump(const Pump&) = delete;
  Pump& operator=(const Pump&) = delete;
  ~Pump() {
    if (thread_.joinable()) {
      platform::PostThreadMessageW(id_, WM_QUIT_, 0, 0);
      thread_.join();
    }
  }

  DWORD id() const { return id_; }
  // Ends the loop with WM_QUIT and waits for the thread.
  void quit(WPARAM code) {
    CHECK(platform::PostThreadMessageW(id_, WM_QUIT_, code, 0) != 0);
    thread_.join();
  }
  const std::vector<MSG>& received() const { return received_; }
  const MSG& quit_message() const { return quit_; }

 private:
  std::thread thread_;
  DWORD id_ = 0;
  std::vector<MSG> received_;
  MSG quit_{};
};

TEST(messages_reach_the_owning_thread_in_order_and_dispatch_runs_there) {
  sim::reset_desktop();
  Pump pump;
  std::promise<DWORD> ran_on;
  auto ran = ran_on.get_future();
  MSG posted{};
  posted.message = kUserMessage + 1;
  CHECK(platform::PostThreadMessageW(pump.id(), kUserMessage, 7, -3) != 0);
  CHECK(sim::post_thread_message(pump.id(), posted, [&ran_on] {
    ran_on.set_value(sim::current_thread_id());
    // Callbacks run outside every lock: they may call the platform.
    platform::GetCurrentProcessId();
  }));
  CHECK_EQ(ran.get(), pump.id());
  pump.quit(42);
  CHECK_EQ(pump.received().size(), 2U);
  CHECK_EQ(pump.received()[0].message, kUserMessage);
  CHECK_EQ(pump.received()[0].wParam, 7U);
  CHECK_EQ(pump.received()[0].lParam, -3);
  CHECK_EQ(pump.received()[1].message, kUserMessage + 1);
  CHECK_EQ(pump.quit_message().message, WM_QUIT_);
  CHECK_EQ(pump.quit_message().wParam, 42U);
}

TEST(posting_to_a_thread_without_a_queue_fails_with_1444) {
  sim::reset_desktop();
  DWORD ended = 0;
  std::thread([&ended] {
    sim::ensure_message_queue();
    ended = sim::current_thread_id();
  }).join();
  DWORD never_queued = 0;
  std::thread([&never_queued] { never_queued = sim::current_thread_id(); }).join();
  for (const DWORD thread_id : {ended, never_queued, DWORD{0xFFFF0}}) {
    sim::set_last_error(0);
    CHECK_EQ(platform::PostThreadMessageW(thread_id, kUserMessage, 0, 0), 0);
    CHECK_EQ(sim::last_error(), ERROR_INVALID_THREAD_ID_);
  }
}

TEST(messages_a_thread_never_dispatched_are_released_when_it_ends) {
  sim::reset_desktop();
  auto token = std::make_shared<int>(0);
  std::promise<DWORD> id;
  auto published = id.get_future();
  std::promise<void> posted;
  auto both_posted = posted.get_future();
  std::thread owner([&] {
    sim::ensure_message_queue();
    id.set_value(sim::current_thread_id());
    both_posted.wait();
    // Retrieved but never dispatched.
    MSG msg{};
    CHECK_EQ(platform::GetMessageW(&msg, nullptr, 0, 0), 1);
  });
  const DWORD owner_id = published.get();
  MSG msg{};
  msg.message = kUserMessage;
  CHECK(sim::post_thread_message(owner_id, msg, [token] {}));
  CHECK(sim::post_thread_message(owner_id, msg, [token] {}));
  posted.set_value();
  owner.join();
  CHECK_EQ(token.use_count(), 1);
}

TEST(quit_from_post_quit_message_waits_for_posted_messages) {
  sim::reset_desktop();
  std::thread([] {
    platform::PostQuitMessage(3);
    CHECK(platform::PostThreadMessageW(sim::current_thread_id(), kUserMessage, 0, 0) != 0);
    MSG msg{};
    CHECK_EQ(platform::GetMessageW(&msg, nullptr, 0, 0), 1);
    CHECK_EQ(msg.message, kUserMessage);
    CHECK_EQ(platform::GetMessageW(&msg, nullptr, 0, 0), 0);
    CHECK_EQ(msg.message, WM_QUIT_);
    CHECK_EQ(msg.wParam, 3U);
  }).join();
}

TEST(thread_ids_are_stable_per_thread_and_distinct) {
  const DWORD here = platform::GetCurrentThreadId();
  CHECK_EQ(platform::GetCurrentThreadId(), here);
  CHECK_EQ(here % 4, 0U);
  DWORD there = 0;
  std::thread([&there] { there = platform::GetCurrentThreadId(); }).join();
  CHECK(there != here);
  CHECK(there != 0);
}

TEST(get_error_info_hands_the_reference_over_and_clears_the_slot) {
  sim::reset_desktop();
  const long before = live("error_info");
  {
    ComPtr<abi::IErrorInfo> info;
    CHECK_EQ(platform::GetErrorInfo(0, info.put()), S_FALSE_);
    CHECK(!info);

    sim::set_thread_error_info(u"plain", std::nullopt);
    CHECK_EQ(live("error_info"), before + 1);
    // Another thread has a slot of its own.
    std::thread([] {
      ComPtr<abi::IErrorInfo> other;
      CHECK_EQ(platform::GetErrorInfo(0, other.put()), S_FALSE_);
    }).join();
    CHECK_EQ(platform::GetErrorInfo(0, info.put()), S_OK_);
    CHECK(info);
    ComPtr<abi::IErrorInfo> again;
    CHECK_EQ(platform::GetErrorInfo(0, again.put()), S_FALSE_);
    ComPtr<abi::IRestrictedErrorInfo> restricted;
    CHECK_EQ(info->QueryInterface(abi::IID_IRestrictedErrorInfo, restricted.put_void()),
             E_NOINTERFACE_);
    CHECK(!restricted);
    CHECK_EQ(live("error_info"), before + 1);
  }
  CHECK_EQ(live("error_info"), before);
}

TEST(error_info_texts_come_as_bstrs_the_caller_frees) {
  sim::reset_desktop();
  const long bstrs = live("bstr");
  sim::set_thread_error_info(u"general", u"restricted");
  ComPtr<abi::IErrorInfo> info;
  CHECK_EQ(platform::GetErrorInfo(0, info.put()), S_OK_);
  ComPtr<abi::IRestrictedErrorInfo> restricted;
  CHECK_EQ(info->QueryInterface(abi::IID_IRestrictedErrorInfo, restricted.put_void()), S_OK_);
  BSTR description = nullptr;
  BSTR restricted_text = nullptr;
  BSTR sid = nullptr;
  HRESULT code = 0;
  CHECK_EQ(restricted->GetErrorDetails(&description, &code, &restricted_text, &sid), S_OK_);
  CHECK_EQ(live("bstr"), bstrs + 3);
  CHECK(std::u16string(restricted_text, platform::SysStringLen(restricted_text)) == u"restricted");
  CHECK(std::u16string(description, platform::SysStringLen(description)) == u"general");
  CHECK(description[platform::SysStringLen(description)] == u'\0');
  platform::SysFreeString(description);
  platform::SysFreeString(restricted_text);
  platform::SysFreeString(sid);
  CHECK_EQ(live("bstr"), bstrs);
}

TEST(fault_messages_keep_lone_surrogates) {
  sim::reset_desktop();
  sim::FaultSpec spec;
  spec.message =
      "a\xED\xA0\x80"  // U+D800 in its three-byte form
      "\xF0\x9F\x98\x80";
  sim::leave_error_info(spec);
  ComPtr<abi::IErrorInfo> info;
  CHECK_EQ(platform::GetErrorInfo(0, info.put()), S_OK_);
  BSTR description = nullptr;
  CHECK_EQ(info->GetDescription(&description), S_OK_);
  CHECK(std::u16string(description, platform::SysStringLen(description)) ==
        std::u16string({u'a', char16_t{0xD800}, char16_t{0xD83D}, char16_t{0xDE00}}));
  platform::SysFreeString(description);
}

std::u16string format_message(DWORD flags, const void* source, DWORD id, DWORD* length) {
  WCHAR* buffer = nullptr;
  *length = platform::FormatMessageW(flags, source, id, 0, &buffer);
  if (buffer == nullptr) {
    return u"<none>";
  }
  std::u16string text(buffer, *length);
  platform::FreeFormatMessageBuffer(buffer);
  return text;
}

TEST(nt_status_texts_come_only_from_ntdll_as_a_module) {
  sim::reset_desktop();
  const long buffers = live("message_buffer");
  DWORD length = 0;
  CHECK(format_message(0x1300, nullptr, 0x80070005U, &length) == u"Access is denied.\r\n");
  CHECK_EQ(length, 19U);
  CHECK(format_message(0x1300, nullptr, 0xC0000022U, &length) == u"<none>");
  CHECK_EQ(platform::GetLastError(), 317U);

  HMODULE ntdll = platform::LoadLibraryExA("NTDLL.DLL", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS_);
  CHECK(ntdll != nullptr);
  CHECK(format_message(0x1B00, ntdll, 0xC0000022U, &length) ==
        u"{Access Denied}\r\nA process has requested access to an object, but has not been "
        u"granted those access rights.\r\n");
  // The module's table comes first, the system's after it.
  CHECK(format_message(0x1B00, ntdll, 0x80004005U, &length) == u"Unspecified error\r\n");
  CHECK(sim::loaded_libraries() == (std::map<std::string, long>{{"ntdll.dll", 1}}));
  CHECK(platform::FreeLibrary(ntdll) != 0);
  CHECK(sim::loaded_libraries().empty());
  // One FreeLibrary too many shows as a negative count.
  CHECK_EQ(platform::FreeLibrary(ntdll), 0);
  CHECK(sim::loaded_libraries() == (std::map<std::string, long>{{"ntdll.dll", -1}}));
  CHECK_EQ(live("message_buffer"), buffers);
  const std::vector<std::string> calls = sim::logged_calls();
  CHECK_EQ(calls.at(0), "FormatMessageW(0x1300, NULL, 0x80070005, 0)");
  CHECK_EQ(calls.at(5), "FormatMessageW(0x1B00, <ntdll.dll>, 0xC0000022, 0)");
}

TEST(faults_let_skipped_calls_through_then_fail_the_given_times) {
  sim::reset_desktop();
  sim::FaultSpec spec;
  spec.code = 5;
  spec.skip = 1;
  spec.times = 2;
  sim::set_fault("GetClientRect", spec);
  HWND window = sim::add_window({});
  RECT rect{};
  std::vector<BOOL> results;
  for (int i = 0; i < 4; ++i) {
    sim::set_last_error(0);
    results.push_back(platform::GetClientRect(window, &rect));
    if (results.back() == 0) {
      CHECK_EQ(sim::last_error(), 5U);
    }
  }
  CHECK(results == std::vector<BOOL>({1, 0, 0, 1}));
}

TEST(monitor_fields_are_copied_raw_and_settings_found_by_name) {
  sim::reset_desktop();
  sim::MonitorSpec spec;
  spec.device.fill(u'7');  // no terminator anywhere
  spec.width = 800;
  HMONITOR monitor = sim::add_monitor(spec);
  MONITORINFOEXW info{};
  info.cbSize = sizeof info;
  CHECK(platform::GetMonitorInfoW(monitor, &info) != 0);
  CHECK(std::u16string(info.szDevice, 32) == std::u16string(32, u'7'));

  DEVMODEW mode{};
  mode.dmSize = sizeof mode;
  const std::u16string name(32, u'7');
  CHECK(platform::EnumDisplaySettingsW(name.c_str(), ENUM_CURRENT_SETTINGS_, &mode) != 0);
  CHECK_EQ(mode.dmPelsWidth, 800U);
  CHECK_EQ(platform::EnumDisplaySettingsW(u"7777", ENUM_CURRENT_SETTINGS_, &mode), 0);
  // Left dirty, the structure says so in the log.
  const std::vector<std::string> calls = sim::logged_calls();
  CHECK_EQ(calls.back(),
           "EnumDisplaySettingsW('7777', 0xFFFFFFFF, dmSize=220, dmDriverExtra=0, dirty)");

  CHECK(sim::remove_monitor(monitor));
  sim::set_last_error(0);
  CHECK_EQ(platform::GetMonitorInfoW(monitor, &info), 0);
  CHECK_EQ(sim::last_error(), 1461U);
}

sim::WindowSpec titled(std::u16string title) {
  sim::WindowSpec spec;
  spec.title = std::move(title);
  return spec;
}

BOOL collect_window(HWND window, LPARAM data) {
  reinterpret_cast<std::vector<HWND>*>(data)->push_back(window);
  return 1;
}

TEST(closed_windows_keep_their_handle_and_answer_nothing) {
  sim::reset_desktop();
  sim::WindowSpec hidden;
  hidden.title = u"twin";
  hidden.visible = false;
  HWND first = sim::add_window(hidden);
  HWND second = sim::add_window(titled(u"twin"));
  HWND third = sim::add_window(titled(u"abcdef"));
  // Found by exact title, hidden ones too, in creation order.
  CHECK(platform::FindWindowW(nullptr, u"twin") == first);
  CHECK(platform::FindWindowW(nullptr, u"twi") == nullptr);

  WCHAR text[4] = {u'x', u'x', u'x', u'x'};
  CHECK_EQ(platform::GetWindowTextW(third, text, 4), 3);
  CHECK(std::u16string(text) == u"abc");

  CHECK(sim::close_window(first));
  CHECK(platform::FindWindowW(nullptr, u"twin") == second);
  CHECK_EQ(platform::IsWindowVisible(first), 0);
  CHECK_EQ(platform::GetWindowTextLengthW(first), 0);
  RECT rect{};
  CHECK_EQ(platform::GetClientRect(first, &rect), 0);
  CHECK_EQ(sim::last_error(), 1400U);

  std::vector<HWND> listed;
  CHECK(platform::EnumChildWindows(platform::GetDesktopWindow(), collect_window,
                                   reinterpret_cast<LPARAM>(&listed)) != 0);
  CHECK(listed == std::vector<HWND>({second, third}));
}

}  // namespace
}  // namespace lumigrab::test
