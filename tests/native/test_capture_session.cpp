// The capture thread and its frame-arrived handler against the simulated
// capture engine: set-up failures, teardown, frame storing and read-back.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>
#include <memory>
#include <optional>
#include <thread>

#include "capture_support.h"
#include "frame/pixels.h"
#include "platform/simulated/sim_objects.h"

namespace lumigrab::test {
namespace {

using capture::CaptureControl;
using capture::CaptureError;
using capture::CaptureThreadIdCell;
using capture::LatestFrameSlot;

// A capture thread body run to its end on a thread of its own, as a capture
// runs it.
struct ThreadRun {
  std::optional<Status<CaptureError>> result;
  std::string fault;
  std::shared_ptr<CaptureThreadIdCell> thread_id = std::make_shared<CaptureThreadIdCell>();
  std::shared_ptr<LatestFrameSlot> latest_frame = std::make_shared<LatestFrameSlot>();

  std::string result_text() const {
    if (!result) {
      return "fault: " + fault;
    }
    return result->ok() ? "Ok" : debug_form(result->error());
  }
};

// With `quit_first`, the owner has asked the thread to quit before it
// publishes its id, so it never waits in its message loop.
ThreadRun run_thread(const CaptureDesk& desk, bool quit_first) {
  ThreadRun run;
  auto item = capture::create_capture_item(desk.target()).value_or_fault();
  if (quit_first) {
    run.thread_id->request_quit();
  }
  const HeldStderr held;
  std::thread thread([&run, item]() mutable {
    try {
      run.result.emplace(
          capture::run_capture_thread(std::move(item), run.thread_id, run.latest_frame));
    } catch (const Fault& fault) {
      run.fault = fault.message();
    }
  });
  thread.join();
  // A fault is reported where it happens.
  CHECK(run.fault.empty() || held.wrote(run.fault));
  return run;
}

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
}

std::vector<std::string> calls_among(const std::vector<std::string>& wanted) {
  std::vector<std::string> seen;
  for (const std::string& entry : sim::logged_calls()) {
    for (const std::string& name : wanted) {
      if (starts_with(entry, name)) {
        seen.push_back(name);
      }
    }
  }
  return seen;
}

struct SetupFailure {
  const char* point;
  bool no_result;
  int skip;
  const char* expected;  // the start of the thread result's debug form
  bool id_published;
};

constexpr const char* kWindowsFail = "WindowsError(Error { code: HRESULT(0x80004005)";
constexpr const char* kWindowsNoResult = "WindowsError(Error { code: HRESULT(0x00000000)";

TEST(capture_thread_set_up_failures_end_the_thread_with_their_error) {
  const SetupFailure cases[] = {
      {"RoInitialize", false, 0, kWindowsFail, false},
      {"CreateDispatcherQueueController", false, 0, kWindowsFail, false},
      {"CreateDispatcherQueueController", true, 0, kWindowsNoResult, false},
      {"D3D11CreateDevice", false, 0, "DirectXError(WindowsError(Error { code: HRESULT(0x80004005)",
       false},
      {"ID3D11Device::QueryInterface(IDXGIDevice)", false, 0,
       "DirectXError(WindowsError(Error { code: HRESULT(0x80004002)", false},
      {"CreateDirect3D11DeviceFromDXGIDevice", false, 0,
       "DirectXError(WindowsError(Error { code: HRESULT(0x80004005)", false},
      {"CreateDirect3D11DeviceFromDXGIDevice", true, 0,
       "DirectXError(WindowsError(Error { code: HRESULT(0x00000000)", false},
      {"QueryInterface(IDirect3DDevice)", false, 0,
       "DirectXError(WindowsError(Error { code: HRESULT(0x80004002)", false},
      {"IGraphicsCaptureItem::get_Size", false, 0, kWindowsFail, false},
      {"RoGetActivationFactory(Windows.Graphics.Capture.Direct3D11CaptureFramePool)", false, 0,
       kWindowsFail, false},
      {"IDirect3D11CaptureFramePoolStatics::Create", false, 0, kWindowsFail, false},
      {"IDirect3D11CaptureFramePoolStatics::Create", true, 0, kWindowsNoResult, false},
      {"IDirect3D11CaptureFramePool::CreateCaptureSession", false, 0, kWindowsFail, false},
      {"IDirect3D11CaptureFramePool::add_FrameArrived", false, 0, kWindowsFail, true},
      {"IGraphicsCaptureSession::StartCapture", false, 0, kWindowsFail, true},
  };
  for (const SetupFailure& failure : cases) {
    CaptureDesk desk;
    if (failure.no_result) {
      arm_no_result(failure.point);
    } else {
      arm(failure.point, -1, failure.skip);
    }
    {
      const ThreadRun run = run_thread(desk, false);
      if (!starts_with(run.result_text(), failure.expected)) {
        record_failure(__FILE__, __LINE__,
                       std::string(failure.point) + ": thread ended with " + run.result_text());
      }
      CHECK_EQ(run.thread_id->thread_id().has_value(), failure.id_published);
      CHECK(!run.latest_frame->has_frame());
    }
    // Nothing was closed on the way out, yet all was released, and a thread
    // that entered the Windows Runtime left it.
    CHECK_EQ(count_calls("IClosable::Close"), 0U);
    CHECK_EQ(count_calls("RoUninitialize"), std::string(failure.point) == "RoInitialize" ? 0U : 1U);
    CHECK(desk.released());
  }
}

TEST(a_device_below_feature_level_11_1_is_refused) {
  CaptureDesk desk;
  sim::set_feature_level(0xB000);
  {
    const ThreadRun run = run_thread(desk, false);
    CHECK_EQ(run.result_text(), std::string("DirectXError(FeatureLevelError)"));
    CHECK(!run.thread_id->thread_id());
  }
  CHECK(desk.released());
}

TEST(a_quit_requested_before_the_id_is_published_takes_the_session_down_at_once) {
  CaptureDesk desk;
  sim::clear_call_log();
  {
    const ThreadRun run = run_thread(desk, true);
    CHECK_EQ(run.result_text(), std::string("Ok"));
    CHECK(run.thread_id->thread_id().has_value());
  }
  // It pumps only to let its queue's shutdown complete.
  const std::vector<std::string> order = {"IGraphicsCaptureSession::StartCapture",
                                          "IDirect3D11CaptureFramePool::remove_FrameArrived",
                                          "IClosable::Close(FramePool)",
                                          "IClosable::Close(Session)",
                                          "IDispatcherQueueController::ShutdownQueueAsync",
                                          "IAsyncAction::put_Completed",
                                          "RoUninitialize"};
  CHECK(calls_among(order) == order);
  CHECK(desk.released());
}

TEST(teardown_failures) {
  struct Case {
    const char* point;
    const char* outcome;
  };
  const Case cases[] = {
      {"IDispatcherQueueController::ShutdownQueueAsync", kWindowsFail},
      {"IAsyncAction::put_Completed", kWindowsFail},
      {"IDirect3D11CaptureFramePool::remove_FrameArrived",
       "fault: Failed to remove Frame Arrived event handler: Error { code: HRESULT(0x80004005)"},
      {"IClosable::Close(FramePool)",
       "fault: Failed to Close Frame Pool: Error { code: HRESULT(0x80004005)"},
      {"IClosable::Close(Session)",
       "fault: Failed to Close Capture Session: Error { code: HRESULT(0x80004005)"},
  };
  for (const Case& failure : cases) {
    CaptureDesk desk;
    // Once: the removal is tried again on the way out, so nothing is left
    // holding the pool.
    arm(failure.point, 1);
    std::string outcome;
    {
      const ThreadRun run = run_thread(desk, true);
      outcome = run.result_text();
      // The ended thread's id may be another thread's by now, fault or not:
      // nothing is posted to it.
      const auto posts = count_calls("PostThreadMessageW");
      run.thread_id->request_quit();
      CHECK_EQ(count_calls("PostThreadMessageW"), posts);
    }
    if (!starts_with(outcome, failure.outcome)) {
      record_failure(__FILE__, __LINE__,
                     std::string(failure.point) + ": thread ended with " + outcome);
    }
    // The steps after a failing one are not taken; a thread that ends with
    // an error rather than a fault still leaves the Windows Runtime.
    const bool faulted = starts_with(failure.outcome, "fault");
    CHECK_EQ(count_calls("RoUninitialize"), faulted ? 0U : 1U);
    if (std::string(failure.point) == "IClosable::Close(FramePool)") {
      CHECK_EQ(count_calls("IClosable::Close(Session)"), 0U);
    }
    // Without a completion handler nobody learns when the queue is down, so
    // Windows keeps its controller and action.
    if (std::string(failure.point) != "IAsyncAction::put_Completed") {
      CHECK(desk.released());
    }
  }
}

TEST(frames_replace_each_other_and_a_resize_recreates_the_pool) {
  CaptureDesk desk;
  CaptureControl& capture = desk.capture();
  CHECK(capture.start(desk.target(), true).ok());
  desk.show(7);
  CHECK_EQ(view_slot(capture.latest_frame()), (SlotView{64, 48, 7}));

  sim::clear_call_log();
  desk.show(9, 80, 60);
  CHECK_EQ(view_slot(capture.latest_frame()), (SlotView{64, 48, 7}));
  CHECK_EQ(count_calls("IDirect3D11CaptureFramePool::Recreate"), 1U);
  desk.show(11, 80, 60);
  CHECK_EQ(view_slot(capture.latest_frame()), (SlotView{80, 60, 11}));
  CHECK_EQ(count_calls("IDirect3D11CaptureFramePool::Recreate"), 1U);

  capture.stop();
  CHECK(desk.released());
}

TEST(a_frame_the_handler_cannot_take_is_dropped_and_the_capture_goes_on) {
  const char* const points[] = {
      "IDirect3D11CaptureFramePool::TryGetNextFrame", "IDirect3D11CaptureFrame::get_ContentSize",
      "IDirect3D11CaptureFrame::get_Surface", "QueryInterface(IDirect3DDxgiInterfaceAccess)",
      "IDirect3DDxgiInterfaceAccess::GetInterface"};
  for (const char* point : points) {
    CaptureDesk desk;
    CaptureControl& capture = desk.capture();
    CHECK(capture.start(desk.target(), true).ok());
    desk.show(5);
    arm(point, 1);
    desk.show(6);
    desk.show(7);
    // A frame that could not be taken stays in the pool and holds the free
    // buffer, so the next one is dropped until it is taken.
    const bool stays = std::string(point) == "IDirect3D11CaptureFramePool::TryGetNextFrame";
    const SlotView view = view_slot(capture.latest_frame());
    if (view != SlotView{64, 48, stays ? 5 : 7}) {
      record_failure(__FILE__, __LINE__,
                     std::string(point) + ": slot holds " + std::to_string(view.marker));
    }
    capture.stop();
    CHECK(desk.released());
  }
}

// The pool writes each frame into a buffer that no frame it handed out still
// holds: the stored frame keeps its own until a newer one replaces it.
TEST(the_stored_frame_reads_back_as_stored_while_newer_frames_arrive) {
  CaptureDesk desk;
  CaptureControl& capture = desk.capture();
  CHECK(capture.start(desk.target(), true).ok());
  desk.show(5);
  for (const int newer : {6, 7}) {
    capture.latest_frame().with_frame([&](const capture::LatestFrame& frame) {
      sim::FrameImage image;
      image.width = 64;
      image.height = 48;
      image.pixels.assign(std::size_t{64} * 4 * 48, static_cast<std::uint8_t>(newer));
      sim::present_frame(reinterpret_cast<std::uintptr_t>(desk.monitor()), std::move(image));
      auto bytes = frame::materialize_frame(frame);
      CHECK(bytes.ok() && bytes.value().data[0] == newer - 1);
    });
    CHECK(sim::wait_frames_delivered(std::chrono::seconds(10)));
    CHECK_EQ(view_slot(capture.latest_frame()).marker, newer);
  }
  capture.stop();
  CHECK(desk.released());
}

// The capture runtime uses the immediate context on the capture thread while
// read-backs use it on another; the context's own lock keeps them apart.
TEST(read_backs_and_frame_delivery_never_share_the_immediate_context) {
  CaptureDesk desk;
  sim::clear_misuses();
  sim::set_runtime_context_dwell(std::chrono::microseconds(500));
  CaptureControl& capture = desk.capture();
  CHECK(capture.start(desk.target(), true).ok());
  CHECK_EQ(count_calls("ID3D11Multithread::SetMultithreadProtected(1)"), 1U);
  std::atomic<bool> done{false};
  std::thread presenter([&] {
    for (std::uint8_t marker = 0; !done.load(); ++marker) {
      sim::FrameImage image;
      image.width = 64;
      image.height = 48;
      image.pixels.assign(std::size_t{64} * 4 * 48, marker);
      sim::present_frame(reinterpret_cast<std::uintptr_t>(desk.monitor()), std::move(image));
      sim::wait_frames_delivered(std::chrono::seconds(10));
    }
  });
  for (int i = 0; i < 200; ++i) {
    CHECK(view_slot(capture.latest_frame()).marker >= 0);
  }
  done.store(true);
  presenter.join();
  capture.stop();
  CHECK(desk.released());
  CHECK(sim::misuses().empty());
}

// Runs once the capture thread has taken every message posted to it before.
void settle(const CaptureControl& capture) {
  const std::optional<win::DWORD> id = capture.thread_id().thread_id();
  CHECK(id.has_value());
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> settled = done->get_future();
  CHECK(id && sim::post_to_dispatcher_queue(*id, [done] { done->set_value(); }));
  CHECK(settled.wait_for(std::chrono::seconds(10)) == std::future_status::ready);
}

// Wherever the loss shows first, the capture thread learns of it and goes on
// with a new device, in a new session, which delivers what the target shows
// without waiting for it to change. A pool on a lost device raises nothing,
// so a read-back that finds the device lost tells the thread; a device that
// cannot be made at once is tried again at a later such read-back (one past
// the gap that follows a failure), without any frame. The frame stored before
// stays on the dead device, so read-backs fail rather than show it, until a
// frame of the new session comes.
TEST(a_lost_device_is_replaced_and_capture_goes_on) {
  for (const char* point : {"IDirect3D11CaptureFramePool::TryGetNextFrame",
                            "ID3D11DeviceContext::Map", "IDirect3D11CaptureFramePool::Recreate"}) {
    for (const bool creation_fails : {false, true}) {
      CaptureDesk desk;
      CaptureControl& capture = desk.capture();
      CHECK(capture.start(desk.target(), true).ok());
      desk.show(5);
      sim::FaultSpec lost;
      lost.code = 0x887A0005U;
      lost.times = 1;
      sim::set_fault(point, lost);
      if (creation_fails) {
        arm("D3D11CreateDevice", 1);
      }
      const bool on_read = std::string(point).find("Map") != std::string::npos;
      const bool resize = std::string(point).find("Recreate") != std::string::npos;
      const SlotView showing{resize ? 80U : 64U, resize ? 60U : 48U, on_read ? 5 : 6};
      if (on_read) {
        CHECK_EQ(view_slot(capture.latest_frame()).marker, -1);
      } else {
        desk.show(6, resize ? 80 : 64, resize ? 60 : 48);
      }
      settle(capture);
      if (creation_fails) {
        CHECK_EQ(view_slot(capture.latest_frame()).marker, -1);
        settle(capture);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        CHECK_EQ(view_slot(capture.latest_frame()).marker, -1);
      }
      // The report is taken, then the new session's first frame.
      settle(capture);
      settle(capture);
      CHECK_EQ(count_calls("D3D11CreateDevice"), creation_fails ? 3U : 2U);
      const std::string which =
          std::string(point) + (creation_fails ? " (creation failed once)" : "");
      if (view_slot(capture.latest_frame()) != showing) {
        record_failure(__FILE__, __LINE__, which + ": what the target shows did not come again");
      }
      desk.show(7, static_cast<std::int32_t>(showing.width),
                static_cast<std::int32_t>(showing.height));
      if (view_slot(capture.latest_frame()) != SlotView{showing.width, showing.height, 7}) {
        record_failure(__FILE__, __LINE__, which + ": no frame after the loss");
      }
      capture.stop();
      CHECK(desk.released());
    }
  }
}

TEST(a_failed_recreate_is_tried_again_by_the_next_resized_frame) {
  CaptureDesk desk;
  CaptureControl& capture = desk.capture();
  CHECK(capture.start(desk.target(), true).ok());
  desk.show(1);
  arm("IDirect3D11CaptureFramePool::Recreate", 1);
  sim::clear_call_log();
  desk.show(2, 80, 60);
  desk.show(3, 80, 60);
  CHECK_EQ(count_calls("IDirect3D11CaptureFramePool::Recreate"), 2U);
  CHECK_EQ(view_slot(capture.latest_frame()), (SlotView{64, 48, 1}));
  desk.show(4, 80, 60);
  CHECK_EQ(view_slot(capture.latest_frame()), (SlotView{80, 60, 4}));
  capture.stop();
}

sim::FrameImage patterned_image(std::int32_t width, std::int32_t height, std::uint32_t pitch) {
  sim::FrameImage image;
  image.width = width;
  image.height = height;
  image.row_pitch = pitch;
  image.pixels.assign(std::size_t{pitch} * static_cast<std::size_t>(height), 0);
  for (std::size_t i = 0; i < image.pixels.size(); ++i) {
    image.pixels[i] = static_cast<std::uint8_t>(i % 251);
  }
  return image;
}

TEST(materialize_frame_copies_every_row_with_its_padding) {
  CaptureDesk desk(1001, 3);
  CaptureControl& capture = desk.capture();
  CHECK(capture.start(desk.target(), true).ok());
  for (const std::uint32_t pitch : {4096U, 4004U}) {
    const sim::FrameImage image = patterned_image(1001, 3, pitch);
    desk.show(image);
    const bool had_frame =
        capture.latest_frame().with_frame([&](const capture::LatestFrame& frame) {
          CHECK_EQ(frame.width, 1001U);
          CHECK_EQ(frame.height, 3U);
          auto bytes = frame::materialize_frame(frame);
          CHECK(bytes.ok());
          if (bytes) {
            CHECK_EQ(bytes.value().size, std::size_t{3} * pitch);
            CHECK(std::equal(image.pixels.begin(), image.pixels.end(), bytes.value().data.get()));
          }
        });
    CHECK(had_frame);
  }
  capture.stop();
  CHECK(desk.released());
}

TEST(a_failed_read_back_leaves_the_frame_for_the_next_try) {
  for (const char* point : {"ID3D11Device::CreateTexture2D", "ID3D11DeviceContext::Map"}) {
    CaptureDesk desk;
    CaptureControl& capture = desk.capture();
    CHECK(capture.start(desk.target(), true).ok());
    desk.show(8);
    arm(point, 1);
    capture.latest_frame().with_frame([](const capture::LatestFrame& frame) {
      auto failed = frame::materialize_frame(frame);
      CHECK(!failed.ok());
      if (!failed) {
        CHECK_EQ(text_form(failed.error()), std::string("Windows error during frame conversion"));
      }
    });
    CHECK_EQ(view_slot(capture.latest_frame()), (SlotView{64, 48, 8}));
    capture.stop();
    CHECK(desk.released());
  }
}

// Every vector kernel the processor runs, plain or streaming, agrees with the
// plain one, for counts that leave every possible tail and for unaligned ends
// (streaming: every start before a whole vector), and never writes past the
// pixels it was given.
TEST(the_pixel_kernels_turn_bgrx_into_rgba_alike) {
  std::vector<std::uint8_t> from(4 * 200 + 3);
  for (std::size_t i = 0; i < from.size(); ++i) {
    from[i] = static_cast<std::uint8_t>(i * 37 + 11);
  }
  const std::uint8_t known[4] = {0x10, 0x20, 0x30, 0x40};  // B, G, R, X
  std::uint8_t turned[4] = {};
  frame::bgrx_to_rgba(frame::PixelKernel::Scalar, known, turned, 1);
  CHECK((std::vector<std::uint8_t>(turned, turned + 4) ==
         std::vector<std::uint8_t>{0x30, 0x20, 0x10, 0xFF}));
  for (const auto kernel : {frame::PixelKernel::Ssse3, frame::PixelKernel::Avx2}) {
    if (!frame::kernel_supported(kernel)) {
      continue;
    }
    for (std::size_t count = 0; count <= 70; ++count) {
      for (const std::size_t offset : {0U, 1U, 3U, 4U, 12U, 20U, 28U}) {
        for (const bool streaming : {false, true}) {
          std::vector<std::uint8_t> expected(4 * 200 + 40, 0xA5);
          std::vector<std::uint8_t> got(expected);
          frame::bgrx_to_rgba(frame::PixelKernel::Scalar, from.data() + offset % 4,
                              expected.data() + offset, count);
          if (streaming) {
            frame::bgrx_to_rgba_streaming(kernel, from.data() + offset % 4, got.data() + offset,
                                          count);
          } else {
            frame::bgrx_to_rgba(kernel, from.data() + offset % 4, got.data() + offset, count);
          }
          if (got != expected) {
            record_failure(__FILE__, __LINE__,
                           "kernel " + std::to_string(static_cast<int>(kernel)) +
                               (streaming ? " streaming, " : ", ") + std::to_string(count) +
                               " pixels at offset " + std::to_string(offset));
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace lumigrab::test
