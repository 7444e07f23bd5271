// The simulated capture engine on its own, driven through the platform layer
// the way a capture thread drives Windows: where frames are delivered, what a
// pool keeps, what a thread that ends leaves behind, and what reads back.
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "platform/com_ptr.h"
#include "platform/platform.h"
#include "platform/simulated/sim_capture.h"
#include "platform/simulated/sim_core.h"
#include "platform/simulated/sim_objects.h"

namespace lumigrab::test {
namespace {

namespace platform = lumigrab::platform;
using abi::SizeInt32;
using sim::make_object;
using win::DWORD;
using win::GUID;
using win::HRESULT;
using win::MSG;

constexpr auto kWait = std::chrono::seconds(10);
constexpr auto kGlance = std::chrono::milliseconds(50);

// Engine kinds a finished capture must have released.
std::map<std::string, long> engine_objects() {
  std::map<std::string, long> counts = sim::live_counts();
  for (const char* other : {"bstr", "error_info"}) {
    counts.erase(other);
  }
  return counts;
}

std::ostream& operator<<(std::ostream& out, const std::map<std::string, long>& counts) {
  out << "{";
  for (const auto& [kind, live] : counts) {
    out << " " << kind << "=" << live;
  }
  return out << " }";
}

class HString {
 public:
  explicit HString(std::u16string_view text) {
    platform::WindowsCreateString(text.data(), static_cast<win::UINT>(text.size()), &value_);
  }
  HString(const HString&) = delete;
  HString& operator=(const HString&) = delete;
  ~HString() { platform::WindowsDeleteString(value_); }
  abi::HSTRING get() const { return value_; }

 private:
  abi::HSTRING value_ = nullptr;
};

template <typename I>
ComPtr<I> factory(std::u16string_view class_name, const GUID& iid, HRESULT* result = nullptr) {
  const HString name(class_name);
  ComPtr<I> found;
  const HRESULT hr = platform::RoGetActivationFactory(name.get(), iid, found.put_void());
  if (result != nullptr) {
    *result = hr;
  }
  return found;
}

// An item for `monitor`, made from a thread that joined no apartment.
ComPtr<abi::IGraphicsCaptureItem> monitor_item(win::HMONITOR monitor) {
  void* cookie = nullptr;
  platform::CoIncrementMTAUsage(&cookie);
  const auto interop = factory<abi::IGraphicsCaptureItemInterop>(
      abi::kGraphicsCaptureItemClass, abi::IID_IGraphicsCaptureItemInterop);
  ComPtr<abi::IGraphicsCaptureItem> item;
  if (interop) {
    interop->CreateForMonitor(monitor, abi::IID_IGraphicsCaptureItem, item.put_void());
  }
  return item;
}

win::HMONITOR add_monitor(DWORD width, DWORD height) {
  sim::MonitorSpec spec;
  spec.width = width;
  spec.height = height;
  return sim::add_monitor(spec);
}

std::uintptr_t target_of(win::HMONITOR monitor) {
  return reinterpret_cast<std::uintptr_t>(monitor);
}

// An image whose pixel bytes count up from `first`, with `padding` bytes
// after each row.
sim::FrameImage counting_image(std::int32_t width, std::int32_t height, std::uint8_t first,
                               std::uint32_t padding = 0) {
  sim::FrameImage image;
  image.width = width;
  image.height = height;
  image.row_pitch = static_cast<std::uint32_t>(width) * 4 + padding;
  image.pixels.resize(std::size_t{image.row_pitch} * static_cast<std::size_t>(height));
  for (std::size_t i = 0; i < image.pixels.size(); ++i) {
    image.pixels[i] = static_cast<std::uint8_t>(first + i);
  }
  return image;
}

// Records every FrameArrived it gets and keeps the last frame it took.
class RecordingHandler final : public sim::ComObject<RecordingHandler, abi::IFrameArrivedHandler> {
 public:
  static constexpr std::string_view kKind = "test_handler";

  void* find_interface(const GUID& iid) noexcept {
    if (iid == abi::IID_IUnknown || iid == abi::IID_IFrameArrivedHandler) {
      return static_cast<abi::IFrameArrivedHandler*>(this);
    }
    return nullptr;
  }

  HRESULT LUMIGRAB_STDCALL Invoke(abi::IDirect3D11CaptureFramePool* sender,
                                  abi::IInspectable* /*args*/) override {
    ComPtr<abi::IDirect3D11CaptureFrame> frame;
    sender->TryGetNextFrame(frame.put());
    const std::lock_guard lock(mutex_);
    ++calls_;
    threads_.push_back(sim::current_thread_id());
    if (frame) {
      last_frame_ = std::move(frame);
    }
    return win::S_OK_;
  }

  int calls() {
    const std::lock_guard lock(mutex_);
    return calls_;
  }
  std::vector<DWORD> threads() {
    const std::lock_guard lock(mutex_);
    return threads_;
  }
  ComPtr<abi::IDirect3D11CaptureFrame> take_frame() {
    const std::lock_guard lock(mutex_);
    return std::move(last_frame_);
  }

 private:
  std::mutex mutex_;
  int calls_ = 0;
  std::vector<DWORD> threads_;
  ComPtr<abi::IDirect3D11CaptureFrame> last_frame_;
};

// Counts its calls and ends the message loop of the thread it runs on.
class QuitOnCompletion final
    : public sim::ComObject<QuitOnCompletion, abi::IAsyncActionCompletedHandler> {
 public:
  static constexpr std::string_view kKind = "test_completion";

  void* find_interface(const GUID& iid) noexcept {
    if (iid == abi::IID_IUnknown || iid == abi::IID_IAsyncActionCompletedHandler) {
      return static_cast<abi::IAsyncActionCompletedHandler*>(this);
    }
    return nullptr;
  }

  HRESULT LUMIGRAB_STDCALL Invoke(abi::IAsyncAction* /*action*/, abi::AsyncStatus status) override {
    if (status == abi::AsyncStatus_Completed) {
      calls.fetch_add(1);
    }
    invoked_on.store(sim::current_thread_id());
    // The completion may run on any thread: the quit goes to the waiter's.
    platform::PostThreadMessageW(waiter.load(), win::WM_QUIT_, 0, 0);
    return win::S_OK_;
  }

  std::atomic<int> calls{0};
  std::atomic<DWORD> waiter{0};  // the thread that pumps until the quit
  std::atomic<DWORD> invoked_on{0};
};

// Pumps the calling thread's messages until WM_QUIT.
void pump_until_quit() {
  MSG msg{};
  while (platform::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    platform::TranslateMessage(&msg);
    platform::DispatchMessageW(&msg);
  }
}

// A thread that sets up a capture of `item` as the module's capture thread
// does, then either pumps its messages until told to stop or never pumps
// at all, and takes the capture down with a queue shutdown that it waits for
// only when it pumped.
class CaptureThread {
 public:
  CaptureThread(ComPtr<abi::IGraphicsCaptureItem> item, ComPtr<RecordingHandler> handler,
                ComPtr<QuitOnCompletion> on_shutdown = make_object<QuitOnCompletion>())
      : thread_([this, item = std::move(item), handler = std::move(handler),
                 on_shutdown = std::move(on_shutdown)] { run(item, handler, on_shutdown); }) {
    ready_.get_future().wait();
  }
  CaptureThread(const CaptureThread&) = delete;
  CaptureThread& operator=(const CaptureThread&) = delete;
  ~CaptureThread() { finish(); }

  DWORD id() const { return id_; }
  abi::IDirect3D11CaptureFramePool* pool() const { return pool_.get(); }
  abi::ID3D11Device* device() const { return device_.get(); }
  abi::ID3D11DeviceContext* context() const { return context_.get(); }

  void pump() {
    pumping_ = true;
    go_.set_value(true);
  }

  // Ends the thread and drops what this object shares with it. The failures
  // the thread met are checked here, on the test's own thread.
  void finish() {
    if (!thread_.joinable()) {
      return;
    }
    if (pumping_) {
      platform::PostThreadMessageW(id_, win::WM_QUIT_, 0, 0);
    } else {
      go_.set_value(false);
    }
    thread_.join();
    pool_.reset();
    device_.reset();
    context_.reset();
    for (const std::string& failure : failures_) {
      record_failure(__FILE__, __LINE__, "capture thread: " + failure);
    }
  }

 private:
  void expect(HRESULT hr, const char* what) {
    if (hr != win::S_OK_) {
      failures_.push_back(std::string(what) + " returned " + std::to_string(hr));
    }
  }

  void run(const ComPtr<abi::IGraphicsCaptureItem>& item, const ComPtr<RecordingHandler>& handler,
           const ComPtr<QuitOnCompletion>& on_shutdown) {
    expect(platform::RoInitialize(1), "RoInitialize");
    ComPtr<abi::IDispatcherQueueController> controller;
    expect(platform::CreateDispatcherQueueController({12, abi::DQTYPE_THREAD_CURRENT, 0},
                                                     controller.put()),
           "CreateDispatcherQueueController");
    const abi::D3D_FEATURE_LEVEL levels[] = {abi::D3D_FEATURE_LEVEL_11_1};
    abi::D3D_FEATURE_LEVEL level{};
    expect(
        platform::D3D11CreateDevice(nullptr, abi::D3D_DRIVER_TYPE_HARDWARE, nullptr,
                                    abi::D3D11_CREATE_DEVICE_BGRA_SUPPORT, levels, 1,
                                    abi::D3D11_SDK_VERSION, device_.put(), &level, context_.put()),
        "D3D11CreateDevice");
    ComPtr<abi::IDXGIDevice> dxgi;
    expect(device_->QueryInterface(abi::IID_IDXGIDevice, dxgi.put_void()), "QueryInterface");
    ComPtr<abi::IInspectable> inspectable;
    expect(platform::CreateDirect3D11DeviceFromDXGIDevice(dxgi.get(), inspectable.put()),
           "CreateDirect3D11DeviceFromDXGIDevice");
    ComPtr<abi::IDirect3DDevice> direct3d;
    expect(inspectable->QueryInterface(abi::IID_IDirect3DDevice, direct3d.put_void()),
           "QueryInterface");
    SizeInt32 size{};
    expect(item->get_Size(&size), "get_Size");
    const auto statics = factory<abi::IDirect3D11CaptureFramePoolStatics>(
        abi::kFramePoolClass, abi::IID_IDirect3D11CaptureFramePoolStatics);
    expect(statics->Create(direct3d.get(), abi::DirectXPixelFormat_R8G8B8A8UIntNormalized, 2, size,
                           pool_.put()),
           "Create");
    ComPtr<abi::IGraphicsCaptureSession> session;
    expect(pool_->CreateCaptureSession(item.get(), session.put()), "CreateCaptureSession");
    abi::EventRegistrationToken token{};
    expect(pool_->add_FrameArrived(handler.get(), &token), "add_FrameArrived");
    expect(session->StartCapture(), "StartCapture");
    id_ = sim::current_thread_id();
    ready_.set_value();

    if (go_.get_future().get()) {
      pump_until_quit();
    }

    ComPtr<abi::IAsyncAction> shutdown;
    expect(controller->ShutdownQueueAsync(shutdown.put()), "ShutdownQueueAsync");
    on_shutdown->waiter.store(sim::current_thread_id());
    expect(shutdown->put_Completed(on_shutdown.get()), "put_Completed");
    if (pumping_) {
      pump_until_quit();
    }
    expect(pool_->remove_FrameArrived(token), "remove_FrameArrived");
    ComPtr<abi::IClosable> closable;
    expect(pool_->QueryInterface(abi::IID_IClosable, closable.put_void()), "QueryInterface");
    expect(closable->Close(), "Close(FramePool)");
    expect(session->QueryInterface(abi::IID_IClosable, closable.put_void()), "QueryInterface");
    expect(closable->Close(), "Close(Session)");
    platform::RoUninitialize();
  }

  std::promise<void> ready_;
  std::promise<bool> go_;
  bool pumping_ = false;
  DWORD id_ = 0;
  ComPtr<abi::IDirect3D11CaptureFramePool> pool_;
  ComPtr<abi::ID3D11Device> device_;
  ComPtr<abi::ID3D11DeviceContext> context_;
  std::vector<std::string> failures_;
  std::thread thread_;  // last: it starts once everything above exists
};

// A frame's pixels as a staging copy maps them.
struct ReadBack {
  HRESULT result = win::E_FAIL_;
  win::UINT row_pitch = 0;
  std::vector<std::uint8_t> bytes;
};

ComPtr<abi::ID3D11Texture2D> texture_of(abi::IDirect3D11CaptureFrame* frame) {
  ComPtr<abi::IDirect3DSurface> surface;
  ComPtr<abi::IDirect3DDxgiInterfaceAccess> access;
  ComPtr<abi::ID3D11Texture2D> texture;
  frame->get_Surface(surface.put());
  if (surface) {
    surface->QueryInterface(abi::IID_IDirect3DDxgiInterfaceAccess, access.put_void());
  }
  if (access) {
    access->GetInterface(abi::IID_ID3D11Texture2D, texture.put_void());
  }
  return texture;
}

ReadBack read_back(abi::ID3D11Device* device, abi::ID3D11DeviceContext* context,
                   abi::ID3D11Texture2D* texture) {
  abi::D3D11_TEXTURE2D_DESC desc{};
  texture->GetDesc(&desc);
  desc.Usage = abi::D3D11_USAGE_STAGING;
  desc.BindFlags = 0;
  desc.CPUAccessFlags = abi::D3D11_CPU_ACCESS_READ | abi::D3D11_CPU_ACCESS_WRITE;
  ReadBack out;
  ComPtr<abi::ID3D11Texture2D> staging;
  out.result = device->CreateTexture2D(&desc, nullptr, staging.put());
  if (win::failed(out.result)) {
    return out;
  }
  context->CopyResource(staging.get(), texture);
  abi::D3D11_MAPPED_SUBRESOURCE mapped{};
  out.result = context->Map(staging.get(), 0, abi::D3D11_MAP_READ_WRITE, 0, &mapped);
  if (win::failed(out.result)) {
    return out;
  }
  out.row_pitch = mapped.RowPitch;
  const auto* bytes = static_cast<const std::uint8_t*>(mapped.pData);
  out.bytes.assign(bytes, bytes + std::size_t{mapped.RowPitch} * desc.Height);
  // Scribbles over the mapped copy: the frame itself must not change.
  std::memset(mapped.pData, 0xEE, out.bytes.size());
  context->Unmap(staging.get(), 0);
  return out;
}

SizeInt32 content_size(abi::IDirect3D11CaptureFrame* frame) {
  SizeInt32 size{};
  frame->get_ContentSize(&size);
  return size;
}

// --- delivery ---

TEST(frame_arrived_runs_inside_the_creating_threads_message_loop) {
  sim::reset_desktop();
  const auto monitor = add_monitor(64, 48);
  const auto handler = make_object<RecordingHandler>();
  {
    CaptureThread capture(monitor_item(monitor), handler);
    // The first frame waits in the queue of a thread that does not pump yet.
    CHECK(!sim::wait_frames_delivered(kGlance));
    CHECK_EQ(handler->calls(), 0);

    capture.pump();
    CHECK(sim::wait_frames_delivered(kWait));
    sim::present_frame(target_of(monitor), counting_image(64, 48, 0));
    CHECK(sim::wait_frames_delivered(kWait));

    CHECK(handler->threads() == std::vector<DWORD>(2, capture.id()));
    CHECK(capture.id() != sim::current_thread_id());
  }
  CHECK_EQ(handler->calls(), 2);
}

// Frames come out oldest first, each in one of the pool's buffers; with every
// buffer held, arriving frames are dropped, and a released frame's buffer is
// written again even while its texture is still referenced.
TEST(a_pool_of_n_buffers_recycles_them_and_drops_frames_while_all_are_held) {
  sim::reset_desktop();
  const auto monitor = add_monitor(64, 48);
  CaptureThread capture(monitor_item(monitor), make_object<RecordingHandler>());
  const auto show = [&](std::int32_t content_width) {
    sim::FrameImage image = counting_image(64, 48, static_cast<std::uint8_t>(content_width));
    image.content_width = content_width;
    image.content_height = 10;
    sim::present_frame(target_of(monitor), std::move(image));
  };
  const auto next = [&] {
    ComPtr<abi::IDirect3D11CaptureFrame> frame;
    CHECK_EQ(capture.pool()->TryGetNextFrame(frame.put()), win::S_OK_);
    return frame;
  };
  // The first frame of StartCapture holds one buffer, this one the other.
  show(10);
  show(20);  // dropped
  ComPtr<abi::IDirect3D11CaptureFrame> first = next();
  ComPtr<abi::IDirect3D11CaptureFrame> second = next();
  CHECK(first && second && !next());
  if (!first || !second) {
    return;
  }
  CHECK_EQ(content_size(second.get()).Width, 10);

  const auto texture = texture_of(first.get());
  CHECK_EQ(read_back(capture.device(), capture.context(), texture.get()).bytes[0], 0);
  show(30);  // both buffers still held: missed for now
  CHECK(!next());
  // The missed image is captured once a buffer is back: into the released
  // frame's buffer, under the texture still held.
  first = nullptr;
  CHECK_EQ(read_back(capture.device(), capture.context(), texture.get()).bytes[0], 30);
  const auto third = next();
  CHECK(third && content_size(third.get()).Width == 30);
}

TEST(a_thread_that_never_pumps_again_strands_its_queue_shutdown) {
  sim::reset_desktop();
  const auto baseline = engine_objects();
  const auto monitor = add_monitor(64, 48);
  const auto handler = make_object<RecordingHandler>();
  const auto on_shutdown = make_object<QuitOnCompletion>();
  {
    CaptureThread capture(monitor_item(monitor), handler, on_shutdown);
    sim::present_frame(target_of(monitor), counting_image(64, 48, 3));
    sim::present_frame(target_of(monitor), counting_image(64, 48, 4));
  }
  // The frame deliveries and the queue's shutdown were never dispatched. The
  // deliveries' work is released with the thread; the unfinished shutdown
  // keeps its controller and action (and their handler) for good.
  CHECK(sim::wait_frames_delivered(kWait));
  CHECK_EQ(handler->calls(), 0);
  CHECK_EQ(on_shutdown->calls.load(), 0);
  auto left = engine_objects();
  left.erase("test_handler");
  left.erase("test_completion");
  auto expected = baseline;
  expected.erase("test_completion");
  ++expected["controller"];
  ++expected["async_action"];
  CHECK_EQ(left, expected);
}

// --- the dispatcher queue ---

TEST(a_thread_has_one_dispatcher_queue_until_its_shutdown_completes) {
  sim::reset_desktop();
  const auto on_shutdown = make_object<QuitOnCompletion>();
  std::vector<HRESULT> results;
  bool completed_elsewhere = false;
  std::thread([&] {
    ComPtr<abi::IDispatcherQueueController> first;
    ComPtr<abi::IDispatcherQueueController> second;
    const abi::DispatcherQueueOptions options{12, abi::DQTYPE_THREAD_CURRENT, 0};
    results.push_back(platform::CreateDispatcherQueueController(options, first.put()));
    results.push_back(platform::CreateDispatcherQueueController(options, second.put()));
    ComPtr<abi::IAsyncAction> shutdown;
    results.push_back(first->ShutdownQueueAsync(shutdown.put()));
    on_shutdown->waiter.store(sim::current_thread_id());
    results.push_back(shutdown->put_Completed(on_shutdown.get()));
    results.push_back(shutdown->GetResults());
    pump_until_quit();
    // Nothing promises that the shutdown completes on the queue's thread.
    completed_elsewhere = on_shutdown->invoked_on.load() != sim::current_thread_id();
    results.push_back(shutdown->GetResults());
    results.push_back(platform::CreateDispatcherQueueController(options, second.put()));
  }).join();
  CHECK(results ==
        (std::vector<HRESULT>{win::S_OK_, sim::kIllegalStateChange, win::S_OK_, win::S_OK_,
                              sim::kIllegalMethodCall, win::S_OK_, win::S_OK_}));
  CHECK_EQ(on_shutdown->calls.load(), 1);
  CHECK(completed_elsewhere);
}

TEST(a_pool_needs_a_dispatcher_queue_on_the_creating_thread) {
  sim::reset_desktop();
  HRESULT created = win::S_OK_;
  std::thread([&] {
    platform::RoInitialize(1);
    ComPtr<abi::ID3D11Device> device;
    platform::D3D11CreateDevice(nullptr, abi::D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0,
                                abi::D3D11_SDK_VERSION, device.put(), nullptr, nullptr);
    ComPtr<abi::IDXGIDevice> dxgi;
    device->QueryInterface(abi::IID_IDXGIDevice, dxgi.put_void());
    ComPtr<abi::IInspectable> inspectable;
    platform::CreateDirect3D11DeviceFromDXGIDevice(dxgi.get(), inspectable.put());
    ComPtr<abi::IDirect3DDevice> direct3d;
    inspectable->QueryInterface(abi::IID_IDirect3DDevice, direct3d.put_void());
    const auto statics = factory<abi::IDirect3D11CaptureFramePoolStatics>(
        abi::kFramePoolClass, abi::IID_IDirect3D11CaptureFramePoolStatics);
    ComPtr<abi::IDirect3D11CaptureFramePool> pool;
    created = statics->Create(direct3d.get(), 28, 1, {8, 8}, pool.put());
    platform::RoUninitialize();
  }).join();
  CHECK_EQ(created, sim::kRpcWrongThread);
}

// --- apartments and activation ---

TEST(activation_needs_an_initialised_thread_or_a_process_in_the_mta) {
  sim::reset_desktop();
  const auto activate = [] {
    HRESULT result = win::E_FAIL_;
    std::thread([&] {
      factory<abi::IActivationFactory>(abi::kGraphicsCaptureItemClass, abi::IID_IActivationFactory,
                                       &result);
    }).join();
    return result;
  };
  CHECK_EQ(activate(), win::CO_E_NOTINITIALIZED_);

  std::vector<HRESULT> results;
  std::thread([&] {
    HRESULT found = win::E_FAIL_;
    results.push_back(platform::RoInitialize(1));
    results.push_back(platform::RoInitialize(1));
    results.push_back(platform::RoInitialize(0));
    factory<abi::IGraphicsCaptureItemInterop>(abi::kGraphicsCaptureItemClass,
                                              abi::IID_IGraphicsCaptureItemInterop, &found);
    results.push_back(found);
    factory<abi::IActivationFactory>(u"Windows.Graphics.Capture.Nothing",
                                     abi::IID_IActivationFactory, &found);
    results.push_back(found);
    platform::RoUninitialize();
    platform::RoUninitialize();
    factory<abi::IActivationFactory>(abi::kFramePoolClass, abi::IID_IActivationFactory, &found);
    results.push_back(found);
  }).join();
  CHECK(results ==
        (std::vector<HRESULT>{win::S_OK_, win::S_FALSE_, sim::kRpcChangedMode, win::S_OK_,
                              win::REGDB_E_CLASSNOTREG_, win::CO_E_NOTINITIALIZED_}));

  void* cookie = nullptr;
  CHECK_EQ(platform::CoIncrementMTAUsage(&cookie), win::S_OK_);
  CHECK_EQ(activate(), win::S_OK_);
  sim::reset_desktop();
  CHECK_EQ(activate(), win::CO_E_NOTINITIALIZED_);
}

TEST(an_item_for_a_gone_or_unknown_target_is_refused) {
  sim::reset_desktop();
  const auto monitor = add_monitor(8, 8);
  CHECK(monitor_item(monitor));
  CHECK(sim::remove_monitor(monitor));
  CHECK(!monitor_item(monitor));

  const auto interop = factory<abi::IGraphicsCaptureItemInterop>(
      abi::kGraphicsCaptureItemClass, abi::IID_IGraphicsCaptureItemInterop);
  ComPtr<abi::IGraphicsCaptureItem> item;
  CHECK_EQ(interop->CreateForWindow(reinterpret_cast<win::HWND>(0x1234),
                                    abi::IID_IGraphicsCaptureItem, item.put_void()),
           win::E_INVALIDARG_);
  CHECK(!item);
}

// --- faults ---

TEST(an_injected_fault_fails_with_its_code_and_message_or_hands_back_nothing) {
  sim::reset_desktop();
  const auto monitor = add_monitor(8, 8);
  const auto interop = [&] {
    void* cookie = nullptr;
    platform::CoIncrementMTAUsage(&cookie);
    return factory<abi::IGraphicsCaptureItemInterop>(abi::kGraphicsCaptureItemClass,
                                                     abi::IID_IGraphicsCaptureItemInterop);
  }();

  sim::FaultSpec nothing;
  nothing.mode = sim::FaultSpec::Mode::NoResult;
  nothing.times = 1;
  sim::set_fault("IGraphicsCaptureItemInterop::CreateForMonitor", nothing);
  ComPtr<abi::IGraphicsCaptureItem> item;
  CHECK_EQ(interop->CreateForMonitor(monitor, abi::IID_IGraphicsCaptureItem, item.put_void()),
           win::S_OK_);
  CHECK(!item);

  sim::FaultSpec failing;
  failing.code = 0x887A0005U;
  failing.message = "device removed";
  failing.times = 1;
  sim::set_fault("IGraphicsCaptureItem::get_Size", failing);
  CHECK_EQ(interop->CreateForMonitor(monitor, abi::IID_IGraphicsCaptureItem, item.put_void()),
           win::S_OK_);
  SizeInt32 size{};
  CHECK_EQ(item->get_Size(&size), static_cast<HRESULT>(0x887A0005U));
  ComPtr<abi::IErrorInfo> info;
  CHECK_EQ(platform::GetErrorInfo(0, info.put()), win::S_OK_);
  CHECK(info);
  CHECK_EQ(item->get_Size(&size), win::S_OK_);
  CHECK_EQ(size.Width, 8);
}

// --- read-back ---

TEST(a_staging_copy_maps_with_the_presented_row_pitch_and_leaves_the_frame_alone) {
  sim::reset_desktop();
  const auto monitor = add_monitor(5, 3);
  CaptureThread capture(monitor_item(monitor), make_object<RecordingHandler>());
  const sim::FrameImage image = counting_image(5, 3, 7, 12);
  sim::present_frame(target_of(monitor), image);
  ComPtr<abi::IDirect3D11CaptureFrame> frame;
  capture.pool()->TryGetNextFrame(frame.put());  // StartCapture's
  capture.pool()->TryGetNextFrame(frame.put());
  const auto texture = texture_of(frame.get());
  CHECK(texture);
  if (!texture) {
    return;
  }
  abi::D3D11_TEXTURE2D_DESC desc{};
  texture->GetDesc(&desc);
  CHECK_EQ(desc.Width, 5U);
  CHECK_EQ(desc.Height, 3U);
  CHECK_EQ(desc.Format, abi::DXGI_FORMAT_R8G8B8A8_UNORM);

  for (int pass = 0; pass < 2; ++pass) {
    const ReadBack back = read_back(capture.device(), capture.context(), texture.get());
    CHECK_EQ(back.result, win::S_OK_);
    CHECK_EQ(back.row_pitch, 32U);
    CHECK(back.bytes == image.pixels);
  }
}

TEST(a_target_never_shown_anything_shows_the_default_pattern) {
  sim::reset_desktop();
  const auto monitor = add_monitor(300, 2);
  const auto handler = make_object<RecordingHandler>();
  CaptureThread capture(monitor_item(monitor), handler);
  capture.pump();
  CHECK(sim::wait_frames_delivered(kWait));
  const auto frame = handler->take_frame();
  CHECK(frame);
  if (!frame) {
    return;
  }
  CHECK_EQ(content_size(frame.get()).Width, 300);
  const auto texture = texture_of(frame.get());
  const ReadBack back = read_back(capture.device(), capture.context(), texture.get());
  CHECK_EQ(back.row_pitch, 1200U);
  const auto pixel = [&](std::size_t x, std::size_t y) {
    const std::uint8_t* p = back.bytes.data() + y * back.row_pitch + x * 4;
    return std::vector<int>{p[0], p[1], p[2], p[3]};
  };
  CHECK(pixel(0, 0) == (std::vector<int>{0, 0, 0x80, 0xFF}));
  CHECK(pixel(299, 1) == (std::vector<int>{299 & 0xFF, 1, 0x80, 0xFF}));
}

// --- device ---

TEST(a_device_gets_the_first_offered_level_the_adapter_reaches) {
  sim::reset_desktop();
  const abi::D3D_FEATURE_LEVEL offered[] = {
      abi::D3D_FEATURE_LEVEL_11_1, abi::D3D_FEATURE_LEVEL_11_0, abi::D3D_FEATURE_LEVEL_10_0};
  const auto create = [&](win::UINT count) {
    abi::D3D_FEATURE_LEVEL level{};
    ComPtr<abi::ID3D11Device> device;
    ComPtr<abi::ID3D11DeviceContext> context;
    const HRESULT hr =
        platform::D3D11CreateDevice(nullptr, abi::D3D_DRIVER_TYPE_HARDWARE, nullptr, 0x20, offered,
                                    count, 7, device.put(), &level, context.put());
    return win::succeeded(hr) ? static_cast<std::int32_t>(level) : hr;
  };
  CHECK_EQ(create(3), 0xB100);
  sim::set_feature_level(0xA100);
  CHECK_EQ(create(3), 0xA000);
  CHECK_EQ(create(2), sim::kDxgiUnsupported);
  sim::reset_desktop();
  CHECK_EQ(create(1), 0xB100);
  CHECK(sim::logged_calls() ==
        std::vector<std::string>{"D3D11CreateDevice(NULL, 1, NULL, 0x20, [0xB100], 1, 7)"});
}

}  // namespace
}  // namespace lumigrab::test
