// The capture's threads and targets on a system without a capture runtime.
//
// Wine has no Windows.Graphics.Capture classes, no CoreMessaging dispatcher
// queue and no Direct3D interop export, so conversion and the capture thread
// must fail the way the module promises, and stop without hanging. With the
// stand-in capture component of component/ the conversion succeeds, which
// lets a real capture thread start and fail at its dispatcher queue.
//
// The cases run in this order: the conversion without the component comes
// before anything adds the component's directory.
#include <chrono>
#include <future>
#include <memory>
#include <string>

#include "capture/activation.h"
#include "capture/capture_control.h"
#include "capture/capture_target.h"
#include "capture/capture_thread.h"
#include "capture/records.h"
#include "harness.h"
#include "lib/fault.h"
#include "lib/windows_error.h"
#include "monitor/monitor.h"
#include "platform/platform.h"
#include "wine_support.h"

namespace lumigrab::test {
namespace {

constexpr auto kLimit = std::chrono::seconds(20);
constexpr win::DWORD kInvalidThreadId = 1444;

HMONITOR primary() {
  auto found = monitor::primary_monitor();
  return found ? found.value() : nullptr;
}

capture::CaptureTarget monitor_target() {
  return capture::CaptureTarget::monitor(primary());
}

// What a thread body returned, and how the run went.
struct ThreadRun {
  bool ended = false;
  std::optional<capture::CaptureError> error;
};

}  // namespace

TEST(a_posted_quit_ends_the_message_loop_of_the_thread_that_published_its_id) {
  capture::CaptureThreadIdCell cell;
  std::promise<win::DWORD> started;
  std::promise<void> make_queue;
  std::shared_future<void> queue_wanted = make_queue.get_future().share();
  UINT last_message = 0;
  finish_within(kLimit, "the message loop", [&] {
    std::thread looping = platform::spawn_thread([&] {
      started.set_value(platform::GetCurrentThreadId());
      queue_wanted.wait();
      // A thread's message queue exists from its first user32 call on; the
      // capture thread's comes with its dispatcher queue.
      MSG msg{};
      ::PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
      CHECK(cell.publish(platform::GetCurrentThreadId()));
      while (platform::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        platform::TranslateMessage(&msg);
        platform::DispatchMessageW(&msg);
      }
      last_message = msg.message;
    });
    const win::DWORD id = started.get_future().get();
    // Before its queue exists the quit cannot be posted at all.
    CHECK(platform::PostThreadMessageW(id, win::WM_QUIT_, 0, 0) == FALSE);
    CHECK_EQ(static_cast<std::uint32_t>(WindowsError::from_last_error().code()),
             static_cast<std::uint32_t>(WindowsError::hresult_from_win32(kInvalidThreadId)));
    make_queue.set_value();
    while (!cell.thread_id()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    cell.request_quit();
    looping.join();
  });
  CHECK_EQ(last_message, win::WM_QUIT_);
  CHECK(!cell.thread_id());
}

TEST(conversion_fails_after_the_library_fallback_finds_no_capture_runtime) {
  if (!running_under_wine()) {
    return;
  }
  auto monitor_item = capture::create_capture_item(monitor_target());
  CHECK(!monitor_item.ok() &&
        monitor_item.error() == capture::TargetConversionError::MonitorConversionError);
  auto window_item =
      capture::create_capture_item(capture::CaptureTarget::window(platform::GetDesktopWindow()));
  CHECK(!window_item.ok() &&
        window_item.error() == capture::TargetConversionError::WindowConversionError);

  // None of the three libraries loads, so the runtime's own error is the one
  // reported.
  auto statics = activation::frame_pool_statics();
  CHECK(!statics.ok());
  if (!statics) {
    CHECK_EQ(static_cast<std::uint32_t>(statics.error().code()), 0x80040154U);
  }

  capture::CaptureControl control;
  std::string message;
  try {
    static_cast<void>(control.start(monitor_target(), false));
  } catch (const Fault& fault) {
    message = fault.message();
  }
  CHECK_EQ(message, std::string("Failed to convert CaptureTarget to GraphicsCaptureItem: "
                                "MonitorConversionError"));
  CHECK(!control.active());
}

TEST(the_library_fallback_loads_a_capture_component_from_the_system_directory) {
  if (!running_under_wine()) {
    return;
  }
  install_capture_component();
  auto item = capture::create_capture_item(monitor_target());
  CHECK(item.ok());
  if (!item) {
    return;
  }
  abi::SizeInt32 size{};
  CHECK(SUCCEEDED(item.value()->get_Size(&size)));
  CHECK(size.Width == 64 && size.Height == 48);
  CHECK_EQ(live_component_items(), 1L);
}

TEST(a_capture_thread_without_a_dispatcher_queue_ends_with_its_error) {
  if (!running_under_wine()) {
    return;
  }
  auto item = capture::create_capture_item(monitor_target());
  CHECK(item.ok());
  if (!item) {
    return;
  }
  const long items_before = live_component_items() - 1;
  auto cell = std::make_shared<capture::CaptureThreadIdCell>();
  auto slot = std::make_shared<capture::LatestFrameSlot>();
  ThreadRun run;
  finish_within(kLimit, "the failing capture thread", [&] {
    std::thread thread = platform::spawn_thread([&, item = std::move(item).value()]() mutable {
      auto result = capture::run_capture_thread(std::move(item), cell, slot);
      if (!result) {
        run.error.emplace(std::move(result).error());
      }
      run.ended = true;
    });
    thread.join();
  });
  CHECK(run.ended && run.error.has_value());
  if (!run.error) {
    return;
  }
  CHECK(run.error->kind() == capture::CaptureError::Kind::WindowsError);
  // Wine has no CoreMessaging.dll at all: "module not found".
  CHECK(run.error->windows_error() != nullptr &&
        static_cast<std::uint32_t>(run.error->windows_error()->code()) == 0x8007007EU);
  std::cout << "     " << capture::debug_form(*run.error) << "\n";
  CHECK_EQ(text_form(*run.error), std::string("Windows error during Capture."));
  CHECK(!cell->thread_id());
  CHECK(!slot->has_frame());
  CHECK_EQ(live_component_items(), items_before);
}

TEST(a_capture_that_fails_on_its_thread_stops_without_hanging) {
  if (!running_under_wine()) {
    return;
  }
  const long items_before = live_component_items();
  finish_within(kLimit, "start and stop without waiting", [&] {
    capture::CaptureControl control;
    auto started = control.start(monitor_target(), false);
    CHECK(started.ok());
    CHECK(control.active());
    control.stop();
    CHECK(!control.active());
    CHECK(!control.latest_frame().has_frame());
  });
  CHECK_EQ(live_component_items(), items_before);

  finish_within(kLimit, "start waiting for a first frame", [&] {
    capture::CaptureControl control;
    auto started = control.start(monitor_target(), true);
    CHECK(!started.ok());
    if (!started) {
      CHECK(started.error().kind() == capture::CaptureError::Kind::CaptureThreadFailed);
      CHECK_EQ(text_form(started.error()),
               std::string("Capture thread exited unexpectedly with an error."));
    }
    CHECK(!control.active());
  });
  CHECK_EQ(live_component_items(), items_before);

  // Destroying a started control stops it too.
  finish_within(kLimit, "destroying a started capture", [&] {
    capture::CaptureControl control;
    CHECK(control.start(monitor_target(), false).ok());
  });
  CHECK_EQ(live_component_items(), items_before);
}

}  // namespace lumigrab::test
