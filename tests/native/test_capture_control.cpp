// CaptureControl's state machine against the simulated desktop: start, stop,
// the first-frame wait, a start on a running capture, a stop that races the
// thread's start-up, target conversion, and release of everything made.
#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_target.h"
#include "capture_support.h"
#include "lib/turns.h"
#include "platform/simulated/sim_objects.h"

namespace lumigrab::test {
namespace {

using capture::CaptureControl;
using capture::CaptureError;
using capture::CaptureTarget;

constexpr const char* kJoinFault = "Failed to join capture thread: Any { .. }";

bool failed_with(const Status<CaptureError>& status, CaptureError::Kind kind) {
  return !status.ok() && status.error().kind() == kind;
}

TEST(start_waits_for_the_first_frame_and_stop_releases_everything) {
  CaptureDesk desk;
  {
    CaptureControl& capture = desk.capture();
    CHECK(!capture.active());
    capture.stop();
    capture.stop();
    CHECK(!capture.active());

    CHECK(capture.start(desk.target(), true).ok());
    CHECK(capture.active());
    CHECK(capture.latest_frame().has_frame());
    CHECK(capture.thread_id().thread_id().has_value());

    capture.stop();
    CHECK(!capture.active());
    CHECK(!capture.latest_frame().has_frame());
    CHECK(!capture.thread_id().thread_id().has_value());
    capture.stop();
  }
  CHECK(desk.released());
}

TEST(a_capture_thread_that_ends_before_its_first_frame) {
  // The wait ends with the thread; start stops it and reports that.
  {
    CaptureDesk desk;
    arm("IGraphicsCaptureSession::StartCapture");
    CaptureControl& capture = desk.capture();
    const auto started = capture.start(desk.target(), true);
    CHECK(failed_with(started, CaptureError::Kind::CaptureThreadFailed));
    if (!started) {
      CHECK_EQ(text_form(started.error()),
               std::string("Capture thread exited unexpectedly with an error."));
    }
    CHECK(!capture.active());
    CHECK(desk.released());
  }
  // Without the wait the object stays running until stop, which says nothing.
  {
    CaptureDesk desk;
    sim::set_feature_level(0xB000);
    CaptureControl& capture = desk.capture();
    CHECK(capture.start(desk.target(), false).ok());
    CHECK(capture.active());
    capture.stop();
    CHECK(!capture.active());
    CHECK(desk.released());
  }
  // A thread that faulted instead: the join's fault is what start raises.
  {
    CaptureDesk desk;
    // GetMessageW fails once, so the loop ends before any frame is
    // dispatched; the teardown then faults.
    arm("GetMessageW", 1);
    arm("IClosable::Close(FramePool)", 1);
    CaptureControl& capture = desk.capture();
    CHECK_EQ(fault_message([&] { static_cast<void>(capture.start(desk.target(), true)); }),
             std::string(kJoinFault));
    CHECK(!capture.active());
    CHECK(desk.released());
  }
}

// A waiter on another thread sees each stored frame once, and a stop wakes
// it: the frame counter, the wake-ups and the clearing race the capture thread.
TEST(start_gives_up_its_wait_when_asked_and_leaves_nothing_running) {
  CaptureDesk desk;
  // No frame is ever stored, so only the question ends the wait.
  arm("IDirect3D11CaptureFrame::get_Surface");
  CaptureControl& capture = desk.capture();
  int asked = 0;
  const auto started = capture.start(desk.target(), true, [&asked] { return ++asked == 3; });
  CHECK(failed_with(started, CaptureError::Kind::Interrupted));
  CHECK_EQ(asked, 3);
  CHECK(!capture.active());
  CHECK(count_calls("PostThreadMessageW", ", 0x12, ") == 1U);
  // The object is as good as new.
  sim::clear_faults();
  CHECK(capture.start(desk.target(), true, [] { return true; }).ok());
  CHECK(capture.latest_frame().has_frame());
  capture.stop();
  CHECK(desk.released());
}

TEST(calls_from_several_threads_take_turns) {
  CaptureDesk desk;
  CaptureControl& capture = desk.capture();
  Turns turns;
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        std::optional<Turns::Turn> turn = turns.try_take();
        if (!turn) {
          turn.emplace(turns.take());
        }
        CHECK(turns.held_here());
        if ((i + t) % 2 == 0) {
          CHECK(capture.start(desk.target(), i % 3 == 0).ok());
          CHECK(capture.active());
        } else {
          capture.stop();
          CHECK(!capture.latest_frame().has_frame());
        }
      }
      CHECK(!turns.held_here());
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  CHECK(turns.try_take().has_value());
  capture.stop();
  CHECK(desk.released());
}

TEST(waits_for_newer_frames_end_with_a_frame_or_the_stop) {
  CaptureDesk desk;
  {
    using Wait = capture::LatestFrameSlot::Wait;
    CaptureControl& capture = desk.capture();
    CHECK(capture.start(desk.target(), true).ok());
    const auto slot = capture.shared_latest_frame();
    const auto forever = std::chrono::steady_clock::now() + std::chrono::hours(1);
    std::uint64_t seen = 0;
    CHECK(
        slot->with_numbered_frame([&](const capture::LatestFrame&, std::uint64_t n) { seen = n; }));
    const std::uint64_t clears = slot->clears();
    CHECK(slot->wait_for_newer(seen, clears, std::chrono::steady_clock::now()) == Wait::TimedOut);

    Wait first = Wait::TimedOut;
    Wait second = Wait::TimedOut;
    std::thread waiter([&] {
      first = slot->wait_for_newer(seen, clears, forever);
      std::uint64_t newest = 0;
      slot->with_numbered_frame([&](const capture::LatestFrame&, std::uint64_t n) { newest = n; });
      second = slot->wait_for_newer(newest, clears, forever);
    });
    desk.show(7);
    // The second wait ends only with the stop: the thread's end or the
    // clearing, whichever it sees first.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    capture.stop();
    waiter.join();
    CHECK(first == Wait::Newer);
    CHECK(second == Wait::WriterEnded || second == Wait::Cleared);
  }
  CHECK(desk.released());
}

TEST(a_teardown_fault_makes_stop_fault_and_leaves_the_object_usable) {
  for (const char* point : {"IDirect3D11CaptureFramePool::remove_FrameArrived",
                            "IClosable::Close(FramePool)", "IClosable::Close(Session)"}) {
    CaptureDesk desk;
    CaptureControl& capture = desk.capture();
    CHECK(capture.start(desk.target(), true).ok());
    arm(point, 1);
    CHECK_EQ(fault_message([&] { capture.stop(); }), std::string(kJoinFault));
    CHECK(!capture.active());
    // The slot is not emptied by a stop that faulted; the next stop does.
    CHECK(capture.latest_frame().has_frame());
    capture.stop();
    CHECK(!capture.latest_frame().has_frame());

    CHECK(capture.start(desk.target(), true).ok());
    capture.stop();
    CHECK(desk.released());
  }
}

TEST(a_refused_start_leaves_a_running_capture_alone) {
  CaptureDesk desk;
  CaptureControl& capture = desk.capture();
  CHECK(capture.start(desk.target(), true).ok());
  desk.show(3);

  sim::WindowSpec hidden;
  hidden.title = u"hidden";
  hidden.visible = false;
  sim::clear_call_log();
  const auto refused = capture.start(CaptureTarget::window(sim::add_window(hidden)), true);
  CHECK(failed_with(refused, CaptureError::Kind::InvalidCaptureTarget));
  if (!refused) {
    CHECK_EQ(text_form(refused.error()), std::string("Invalid capture target."));
  }
  CHECK_EQ(count_calls("RoGetActivationFactory"), 0U);

  arm("IGraphicsCaptureItemInterop::CreateForMonitor");
  CHECK_EQ(fault_message([&] { static_cast<void>(capture.start(desk.target(), true)); }),
           std::string("Failed to convert CaptureTarget to GraphicsCaptureItem: "
                       "MonitorConversionError"));
  sim::WindowSpec shown;
  shown.title = u"Editor";
  const CaptureTarget window = CaptureTarget::window(sim::add_window(shown));
  arm("IGraphicsCaptureItemInterop::CreateForWindow");
  CHECK_EQ(fault_message([&] { static_cast<void>(capture.start(window, true)); }),
           std::string("Failed to convert CaptureTarget to GraphicsCaptureItem: "
                       "WindowConversionError"));
  sim::clear_faults();
  CHECK_EQ(count_calls("CreateThread"), 0U);

  CHECK(capture.active());
  desk.show(4);
  CHECK_EQ(view_slot(capture.latest_frame()).marker, 4);
  // The window itself is a fine target once it converts.
  CHECK(capture.start(window, true).ok());
  capture.stop();
  CHECK(desk.released());
}

TEST(start_on_a_running_capture_stops_it_before_starting_the_new_one) {
  CaptureDesk desk;
  sim::MonitorSpec second_spec;
  second_spec.width = 32;
  second_spec.height = 16;
  const win::HMONITOR second = sim::add_monitor(second_spec);
  CaptureControl& capture = desk.capture();
  CHECK(capture.start(desk.target(), true).ok());
  CHECK(capture.start(CaptureTarget::monitor(second), true).ok());
  const std::map<std::string, long> running = sim::live_counts();
  CHECK_EQ(running.at("session"), 1L);
  CHECK_EQ(capture::FrameArrivedHandler::live(), 1L);
  // Frames of the first monitor no longer reach the slot.
  desk.show(9);
  CHECK_EQ(view_slot(capture.latest_frame()).width, 32U);
  capture.stop();
  CHECK(desk.released());
}

TEST(a_stop_racing_the_thread_start_up_always_ends_the_thread) {
  CaptureDesk desk;
  CaptureControl& capture = desk.capture();
  for (int i = 0; i < 100; ++i) {
    CHECK(capture.start(desk.target(), false).ok());
    capture.stop();
    CHECK(!capture.active());
  }
  // Destroying a running capture stops it just the same.
  for (int i = 0; i < 50; ++i) {
    CaptureControl short_lived;
    CHECK(short_lived.start(desk.target(), false).ok());
  }
  CHECK(desk.released());
}

// Every cycle shuts its dispatcher queue down and lets go of every runtime
// object before leaving the Windows Runtime, so nothing piles up.
TEST(many_capture_cycles_release_every_object) {
  CaptureDesk desk;
  sim::clear_misuses();
  for (int i = 0; i < 1000; ++i) {
    CaptureControl capture;
    CHECK(capture.start(desk.target(), true).ok());
    if (i % 50 == 0) {
      desk.show(static_cast<std::uint8_t>(i));
      CHECK_EQ(view_slot(capture.latest_frame()).marker, i & 0xFF);
    }
    capture.stop();
  }
  // One agile statics object serves every capture thread.
  CHECK_EQ(count_calls("RoGetActivationFactory", "Direct3D11CaptureFramePool"), 1U);
  CHECK(desk.released());
  CHECK(sim::misuses().empty());
}

TEST(a_thread_that_cannot_be_spawned_faults_start) {
  CaptureDesk desk;
  CaptureControl& capture = desk.capture();
  arm("CreateThread", 1);
  const std::string message =
      fault_message([&] { static_cast<void>(capture.start(desk.target(), true)); });
  CHECK_EQ(message.rfind("failed to spawn thread", 0), 0U);
  CHECK(!capture.active());
  CHECK(!capture.thread_id().thread_id().has_value());
  CHECK(capture.start(desk.target(), true).ok());
  capture.stop();
  CHECK(desk.released());
}

TEST(capture_item_factory_lookup) {
  // A thread outside any apartment makes the process a user of the
  // multithreaded one and asks again.
  {
    CaptureDesk desk;
    sim::clear_call_log();
    CHECK(capture::create_capture_item(desk.target()).ok());
    std::vector<std::string> activation;
    for (const std::string& entry : sim::logged_calls()) {
      if (is_call(entry, "RoGetActivationFactory") || is_call(entry, "CoIncrementMTAUsage")) {
        activation.push_back(entry.substr(0, entry.find('(')));
      }
    }
    CHECK(activation == (std::vector<std::string>{"RoGetActivationFactory", "CoIncrementMTAUsage",
                                                  "RoGetActivationFactory"}));
    CHECK(desk.released());
  }
  // The runtime does not know the class: the libraries named after it are
  // tried, longest name first, and the one that gave the factory stays loaded.
  {
    CaptureDesk desk;
    sim::FaultSpec not_registered;
    not_registered.code = 0x80040154U;
    sim::set_fault("RoGetActivationFactory(Windows.Graphics.Capture.GraphicsCaptureItem)",
                   not_registered);
    sim::register_capture_library("Windows.Graphics.dll", true);
    sim::clear_call_log();
    CHECK(capture::create_capture_item(desk.target()).ok());
    CHECK_EQ(count_calls("LoadLibraryExA", "'Windows.Graphics.Capture.dll'"), 1U);
    CHECK_EQ(count_calls("LoadLibraryExA", "'Windows.Graphics.dll'"), 1U);
    CHECK_EQ(count_calls("LoadLibraryExA", "'Windows.dll'"), 0U);
    const std::map<std::string, long> loaded = sim::loaded_libraries();
    CHECK(loaded == (std::map<std::string, long>{{"Windows.Graphics.dll", 1}}));
  }
  // A library whose factory lacks the interop interface ends the lookup.
  for (const bool registered : {true, false}) {
    CaptureDesk desk;
    arm("RoGetActivationFactory(Windows.Graphics.Capture.GraphicsCaptureItem)");
    if (registered) {
      sim::register_capture_library("Windows.Graphics.Capture.dll", false);
    }
    sim::clear_call_log();
    const auto item = capture::create_capture_item(desk.target());
    CHECK(!item.ok());
    if (!item) {
      CHECK_EQ(debug_form(item.error()), std::string("MonitorConversionError"));
    }
    CHECK_EQ(count_calls("LoadLibraryExA", "'Windows.Graphics.dll'"), registered ? 0U : 1U);
    CHECK(sim::loaded_libraries().empty());
    CHECK(desk.released());
  }
}

}  // namespace
}  // namespace lumigrab::test
