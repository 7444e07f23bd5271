// The simulated Windows.Graphics.Capture classes, on the objects the POSIX
// backends share: capture items for monitors and windows, how frame pools
// get their frames, capture sessions, and what monitors and windows show.
//
// A presented image reaches every started session of its target as a new
// frame in the session's pool. The pool holds one frame: a newer one replaces
// an unread older one. FrameArrived is raised by a work item on the dispatcher
// queue of the thread that created the pool, so handlers run inside that
// thread's DispatchMessageW, as they do on Windows. Frames share the image's
// pixel rows; nothing on the way copies a pixel.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/capture_objects.h"
#include "platform/posix/d3d_objects.h"
#include "platform/simulated/sim_capture.h"
#include "platform/simulated/sim_objects.h"

namespace lumigrab::sim {
namespace {

using abi::SizeInt32;

// --- what targets show ---

// One presented image. `sequence` orders images, so that a pool never trades
// a newer image for an older one when deliveries race.
struct Shown {
  std::int32_t width = 0;
  std::int32_t height = 0;
  SizeInt32 content{};
  std::shared_ptr<const PixelRows> rows;
  std::uint64_t sequence = 0;
};

// What a target that never had an image presented shows: red counts the
// column, green the row.
std::shared_ptr<const PixelRows> default_rows(std::int32_t width, std::int32_t height,
                                              std::uint32_t row_pitch) {
  auto rows = std::make_shared<PixelRows>();
  rows->row_pitch = row_pitch;
  rows->bytes.resize(std::size_t{row_pitch} * static_cast<std::size_t>(height));
  for (std::int32_t y = 0; y < height; ++y) {
    std::uint8_t* pixel = rows->bytes.data() + std::size_t{row_pitch} * static_cast<std::size_t>(y);
    for (std::int32_t x = 0; x < width; ++x, pixel += 4) {
      pixel[0] = static_cast<std::uint8_t>(x & 0xFF);
      pixel[1] = static_cast<std::uint8_t>(y & 0xFF);
      pixel[2] = 0x80;
      pixel[3] = 0xFF;
    }
  }
  return rows;
}

template <typename Handle>
std::string handle_text(Handle handle) {
  std::ostringstream out;
  out << "0x" << std::hex << reinterpret_cast<std::uintptr_t>(handle);
  return handle == nullptr ? "NULL" : out.str();
}

// Frames dispatched to handlers, counted for wait_frames_delivered.
class Deliveries {
 public:
  void add() {
    const std::lock_guard lock(mutex_);
    ++pending_;
  }
  void finish() {
    const std::lock_guard lock(mutex_);
    if (--pending_ == 0) {
      done_.notify_all();
    }
  }
  bool wait(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return done_.wait_for(lock, timeout, [this] { return pending_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  long pending_ = 0;
};

// Never destroyed, like everything here that threads may still reach while
// the process exits.
Deliveries& deliveries() {
  static Deliveries* const instance = new Deliveries();
  return *instance;
}

// One delivery in flight. It finishes when its work item has run, or when the
// work item is dropped unrun because its thread's queue went away.
class DeliveryTicket {
 public:
  DeliveryTicket() { deliveries().add(); }
  DeliveryTicket(const DeliveryTicket&) = delete;
  DeliveryTicket& operator=(const DeliveryTicket&) = delete;
  ~DeliveryTicket() { finish(); }

  void finish() {
    if (!finished_.exchange(true)) {
      deliveries().finish();
    }
  }

 private:
  std::atomic<bool> finished_{false};
};

// --- objects ---

enum class TargetKind : std::uint8_t { Monitor, Window };

class Item final : public posix::CaptureItem {
 public:
  Item(TargetKind kind, std::uintptr_t target, SizeInt32 size)
      : CaptureItem(size), kind_(kind), target_(target) {}

  std::uintptr_t target() const noexcept { return target_; }

  // The size the target has now, or the item's own when the target is gone.
  SizeInt32 current_size() const {
    const auto now = kind_ == TargetKind::Monitor
                         ? monitor_capture_size(reinterpret_cast<HMONITOR>(target_))
                         : window_capture_size(reinterpret_cast<HWND>(target_));
    return now ? SizeInt32{now->first, now->second} : size();
  }

 private:
  const TargetKind kind_;
  const std::uintptr_t target_;
};

class Pool;

// Which of a pool's buffers a frame the application has not yet released
// holds. Shared with the frames, which may outlive the pool; `generation`
// tells a frame from before a Recreate, whose buffer is gone. An image that
// found every buffer held is captured once a buffer comes back, as the
// system captures what changed once it has somewhere to put it.
struct BufferUse {
  std::mutex mutex;
  std::vector<bool> held;
  std::uint64_t generation = 0;
  Pool* pool = nullptr;  // while it lives
  std::shared_ptr<const Shown> missed;
};

void give_buffer_back(const std::shared_ptr<BufferUse>& use, std::size_t index,
                      std::uint64_t generation);

// Stays in the device's immediate context as the capture runtime does while
// it hands out frames and recreates buffers.
class RuntimeInContext {
 public:
  RuntimeInContext(const std::shared_ptr<posix::DeviceShared>& device, std::string_view call) {
    if (device) {
      entry_.emplace(*device, call);
      if (const auto dwell = posix::runtime_context_dwell(); dwell.count() > 0) {
        std::this_thread::sleep_for(dwell);
      }
    }
  }

 private:
  std::optional<posix::DeviceShared::Entry> entry_;
};

class Pool final : public posix::FramePool {
 public:
  Pool(DWORD thread_id, ComPtr<abi::IDirect3DDevice> device, std::int32_t pixel_format,
       std::int32_t buffer_count)
      : FramePool(thread_id, std::move(device), pixel_format, buffer_count) {
    use_->held.assign(static_cast<std::size_t>(buffer_count), false);
    use_->pool = this;
    buffers_.resize(static_cast<std::size_t>(buffer_count));
  }
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;
  ~Pool() override {
    const std::lock_guard use_lock(use_->mutex);
    use_->pool = nullptr;
    use_->missed = nullptr;
  }

  // Writes `shown` into a free buffer, queues it as the pool's next frame and
  // raises FrameArrived for it on the pool's thread. With every buffer held
  // nothing is captured; with the device lost nothing is captured or raised
  // at all (nothing says a pool on a lost device raises anything), until the
  // pool is recreated on a working device.
  void deliver(const Shown& shown) {
    {
      ComPtr<abi::ID3D11Texture2D> replaced;
      const std::lock_guard lock(mutex_);
      if (closed_ || shown.sequence <= last_sequence_) {
        return;
      }
      const auto device = device_shared(device_.get());
      if (!device) {
        return;
      }
      if (win::failed(device->removed_reason())) {
        return;
      }
      std::size_t index = 0;
      std::uint64_t generation = 0;
      {
        const std::lock_guard use_lock(use_->mutex);
        while (index < use_->held.size() && use_->held[index]) {
          ++index;
        }
        if (index == use_->held.size()) {
          use_->missed = std::make_shared<const Shown>(shown);
          return;
        }
        use_->held[index] = true;
        use_->missed = nullptr;
        generation = use_->generation;
      }
      last_sequence_ = shown.sequence;
      post_raise();
      // A buffer takes the size of the image written into it.
      Buffer& buffer = buffers_[index];
      if (!buffer.texture || buffer.width != shown.width || buffer.height != shown.height) {
        replaced = std::exchange(buffer.texture,
                                 make_shown_texture(device_.get(), shown.width, shown.height,
                                                    pixel_format_, shown.rows));
        buffer.width = shown.width;
        buffer.height = shown.height;
      } else {
        show_in_texture(buffer.texture.get(), shown.rows);
      }
      waiting_.push_back(make_object<posix::CaptureFrame>(
          buffer.texture, shown.content, [use = use_, device, index, generation] {
            const RuntimeInContext in_context(device, "frame release");
            give_buffer_back(use, index, generation);
          }));
    }
  }

  HRESULT LUMIGRAB_STDCALL TryGetNextFrame(abi::IDirect3D11CaptureFrame** result) override {
    if (result == nullptr) {
      return win::E_POINTER_;
    }
    *result = nullptr;
    const RuntimeInContext in_context(current_device(), "TryGetNextFrame");
    if (auto fault = injected_fault("IDirect3D11CaptureFramePool::TryGetNextFrame")) {
      return lose_device_on(fault->result());
    }
    const std::lock_guard lock(mutex_);
    if (closed_) {
      return win::RO_E_CLOSED_;
    }
    if (const auto device = device_shared(device_.get());
        device && win::failed(device->removed_reason())) {
      return device->removed_reason();
    }
    if (!waiting_.empty()) {
      *result = waiting_.front().detach();
      waiting_.pop_front();
    }
    return win::S_OK_;
  }

  HRESULT LUMIGRAB_STDCALL Recreate(abi::IDirect3DDevice* device, std::int32_t pixel_format,
                                    std::int32_t number_of_buffers, SizeInt32 size) override {
    const RuntimeInContext in_context(current_device(), "Recreate");
    if (const auto shared = device_shared(device);
        shared && win::failed(shared->removed_reason())) {
      return shared->removed_reason();
    }
    return lose_device_on(FramePool::Recreate(device, pixel_format, number_of_buffers, size));
  }

  HRESULT LUMIGRAB_STDCALL Close() override {
    const HRESULT result = FramePool::Close();
    std::deque<ComPtr<posix::CaptureFrame>> waiting;
    std::vector<Buffer> buffers;
    {
      const std::lock_guard lock(mutex_);
      if (closed_) {
        waiting.swap(waiting_);
        buffers.swap(buffers_);
      }
    }
    return result;
  }

 private:
  struct Buffer {
    ComPtr<abi::ID3D11Texture2D> texture;
    std::int32_t width = 0;
    std::int32_t height = 0;
  };

  bool accepts_device(abi::IDirect3DDevice* device) override {
    return is_simulated_direct3d_device(device);
  }

  // New buffers for the new device and size; frames handed out before keep
  // their textures, which no longer belong to the pool, and frames not yet
  // taken are dropped.
  std::function<void()> recreated(abi::IDirect3DDevice* /*device*/, SizeInt32 /*size*/) override {
    auto dropped = std::make_shared<std::deque<ComPtr<posix::CaptureFrame>>>(std::move(waiting_));
    waiting_.clear();
    auto old = std::make_shared<std::vector<Buffer>>(std::move(buffers_));
    buffers_.assign(static_cast<std::size_t>(buffer_count_), Buffer{});
    {
      const std::lock_guard use_lock(use_->mutex);
      ++use_->generation;
      use_->held.assign(static_cast<std::size_t>(buffer_count_), false);
    }
    return [old, dropped] {};
  }

  ComPtr<posix::CaptureSession> new_session(posix::CaptureItem& item) override;

  // Raises FrameArrived on the pool's thread. The raise runs after the
  // caller has let go of the pool's lock.
  void post_raise() {
    auto ticket = std::make_shared<DeliveryTicket>();
    post_to_dispatcher_queue(thread_id_, [pool = ComPtr<Pool>::copy(this), ticket] {
      pool->raise_frame_arrived();
      ticket->finish();
    });
  }

  std::shared_ptr<posix::DeviceShared> current_device() {
    const std::lock_guard lock(mutex_);
    return device_shared(device_.get());
  }

  // A call that fails with a device-lost code loses the pool's device.
  HRESULT lose_device_on(HRESULT result) {
    if (abi::is_device_lost(result)) {
      if (const auto device = current_device()) {
        device->remove(result);
      }
    }
    return result;
  }

  const std::shared_ptr<BufferUse> use_ = std::make_shared<BufferUse>();
  // Guarded by the pool's mutex.
  std::uint64_t last_sequence_ = 0;
  std::vector<Buffer> buffers_;
  std::deque<ComPtr<posix::CaptureFrame>> waiting_;
};

// What sessions offer of the later session interfaces, as set_session_interfaces
// left it; read when a session is made.
struct SessionInterfaces {
  bool cursor_switch = true;
  bool border_switch = true;
  bool may_hide_border = true;
  bool keeps_border_silently = false;
};
std::mutex g_session_interfaces_mutex;
SessionInterfaces g_session_interfaces;

SessionInterfaces session_interfaces() {
  const std::lock_guard lock(g_session_interfaces_mutex);
  return g_session_interfaces;
}

class Session;

// What every target shows and which sessions capture it. Sessions are listed
// without a reference of the registry's own; a session leaves the list before
// it is freed.
struct Desktop {
  std::mutex mutex;
  std::map<std::uintptr_t, std::shared_ptr<const Shown>> shown;
  // Minimised or cloaked windows: they deliver nothing until restored.
  std::set<std::uintptr_t> hidden;
  std::multimap<std::uintptr_t, Session*> started;
  std::uint64_t last_sequence = 0;
};

Desktop& desktop() {
  static Desktop* const instance = new Desktop();
  return *instance;
}

std::once_flag g_desktop_reset_hook;

void register_desktop_reset() {
  std::call_once(g_desktop_reset_hook, [] {
    on_reset([] {
      {
        std::map<std::uintptr_t, std::shared_ptr<const Shown>> forgotten;
        const std::lock_guard lock(desktop().mutex);
        forgotten.swap(desktop().shown);
        desktop().hidden.clear();
      }
      {
        const std::lock_guard lock(g_session_interfaces_mutex);
        g_session_interfaces = SessionInterfaces{};
      }
      posix::set_runtime_context_dwell(std::chrono::microseconds(0));
      free_retired_rows();
    });
  });
}

class Session final : public posix::CaptureSession {
 public:
  // Windows draws the pointer unless told otherwise.
  Session(ComPtr<Pool> pool, ComPtr<Item> item)
      : CaptureSession(true),
        pool_(std::move(pool)),
        item_(std::move(item)),
        interfaces_(session_interfaces()) {}
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() override { stop(); }

  Pool& pool() const noexcept { return *pool_.get(); }

 private:
  bool offers_cursor_switch() const override { return interfaces_.cursor_switch; }
  bool offers_border_switch() const override { return interfaces_.border_switch; }
  bool may_hide_border() const override { return interfaces_.may_hide_border; }
  bool keeps_border_silently() const override { return interfaces_.keeps_border_silently; }

  HRESULT start() override {
    std::shared_ptr<const Shown> first;
    {
      Desktop& shared = desktop();
      std::unique_lock lock(shared.mutex);
      if (closed_ || started_) {
        return closed_ ? win::RO_E_CLOSED_ : kIllegalMethodCall;
      }
      first = presented(shared);
      if (!first) {
        // Asks the desktop for the target's size, so not under the lock.
        lock.unlock();
        Shown fallback = default_image(item_->current_size());
        lock.lock();
        if (closed_ || started_) {
          return closed_ ? win::RO_E_CLOSED_ : kIllegalMethodCall;
        }
        first = presented(shared);
        if (!first) {
          fallback.sequence = ++shared.last_sequence;
          first = std::make_shared<const Shown>(std::move(fallback));
        }
      }
      started_ = true;
      shared.started.emplace(item_->target(), this);
      if (shared.hidden.contains(item_->target())) {
        return win::S_OK_;
      }
    }
    pool_->deliver(*first);
    return win::S_OK_;
  }

 public:
  // What the target shows now, for a restored target's first frame.
  std::shared_ptr<const Shown> showing() {
    Desktop& shared = desktop();
    std::unique_lock lock(shared.mutex);
    if (auto found = presented(shared)) {
      return found;
    }
    lock.unlock();
    Shown fallback = default_image(item_->current_size());
    lock.lock();
    if (auto found = presented(shared)) {
      return found;
    }
    fallback.sequence = ++shared.last_sequence;
    auto made = std::make_shared<const Shown>(std::move(fallback));
    shared.shown[item_->target()] = made;
    return made;
  }

 private:
  void close() override { stop(); }

  // What the target shows, when something was presented to it.
  std::shared_ptr<const Shown> presented(const Desktop& shared) const {
    const auto found = shared.shown.find(item_->target());
    return found == shared.shown.end() ? nullptr : found->second;
  }

  static Shown default_image(SizeInt32 size) {
    Shown image;
    image.width = size.Width;
    image.height = size.Height;
    image.content = size;
    image.rows = default_rows(size.Width, size.Height, static_cast<std::uint32_t>(size.Width) * 4);
    return image;
  }

  void stop() {
    Desktop& shared = desktop();
    const std::lock_guard lock(shared.mutex);
    closed_ = true;
    if (!started_) {
      return;
    }
    started_ = false;
    auto [first, last] = shared.started.equal_range(item_->target());
    for (auto it = first; it != last; ++it) {
      if (it->second == this) {
        shared.started.erase(it);
        break;
      }
    }
  }

  const ComPtr<Pool> pool_;
  const ComPtr<Item> item_;
  const SessionInterfaces interfaces_;
  // Guarded by the desktop's mutex.
  bool started_ = false;
  bool closed_ = false;
};

void give_buffer_back(const std::shared_ptr<BufferUse>& use, std::size_t index,
                      std::uint64_t generation) {
  ComPtr<Pool> pool;
  std::shared_ptr<const Shown> missed;
  {
    const std::lock_guard use_lock(use->mutex);
    if (use->generation != generation) {
      return;
    }
    use->held[index] = false;
    if (use->missed && use->pool != nullptr && use->pool->try_add_ref()) {
      pool = ComPtr<Pool>::attach(use->pool);
      missed = std::exchange(use->missed, nullptr);
    }
  }
  if (pool) {
    pool->deliver(*missed);
  }
}

ComPtr<posix::CaptureSession> Pool::new_session(posix::CaptureItem& item) {
  return posix::upcast<posix::CaptureSession>(make_object<Session>(
      ComPtr<Pool>::copy(this), ComPtr<Item>::copy(static_cast<Item*>(&item))));
}

class ItemFactory final : public posix::CaptureItemFactory {
 public:
  explicit ItemFactory(bool with_interop) : CaptureItemFactory(with_interop) {}

  HRESULT LUMIGRAB_STDCALL CreateForWindow(HWND window, const GUID& iid, void** result) override {
    log_call("IGraphicsCaptureItemInterop::CreateForWindow(" + handle_text(window) + ", " +
             iid_text(iid) + ")");
    return create(TargetKind::Window, reinterpret_cast<std::uintptr_t>(window),
                  "IGraphicsCaptureItemInterop::CreateForWindow", window_capture_size(window), iid,
                  result);
  }

  HRESULT LUMIGRAB_STDCALL CreateForMonitor(HMONITOR monitor, const GUID& iid,
                                            void** result) override {
    log_call("IGraphicsCaptureItemInterop::CreateForMonitor(" + handle_text(monitor) + ", " +
             iid_text(iid) + ")");
    return create(TargetKind::Monitor, reinterpret_cast<std::uintptr_t>(monitor),
                  "IGraphicsCaptureItemInterop::CreateForMonitor", monitor_capture_size(monitor),
                  iid, result);
  }

 private:
  static HRESULT create(TargetKind kind, std::uintptr_t target, std::string_view fault_point,
                        std::optional<std::pair<std::int32_t, std::int32_t>> size, const GUID& iid,
                        void** result) {
    if (result == nullptr) {
      return win::E_POINTER_;
    }
    *result = nullptr;
    if (auto fault = injected_fault(fault_point)) {
      return fault->result();
    }
    if (!size) {
      return win::E_INVALIDARG_;
    }
    const auto item = make_object<Item>(kind, target, SizeInt32{size->first, size->second});
    return item->QueryInterface(iid, result);
  }
};

class PoolStatics final : public posix::FramePoolStatics {
 private:
  bool accepts_device(abi::IDirect3DDevice* device) override {
    return is_simulated_direct3d_device(device);
  }

  ComPtr<posix::FramePool> new_pool(DWORD thread_id, abi::IDirect3DDevice* device,
                                    std::int32_t pixel_format, SizeInt32 /*size*/,
                                    std::int32_t buffer_count) override {
    return posix::upcast<posix::FramePool>(make_object<Pool>(
        thread_id, ComPtr<abi::IDirect3DDevice>::copy(device), pixel_format, buffer_count));
  }
};

HRESULT LUMIGRAB_STDCALL library_factory(abi::HSTRING class_id, abi::IActivationFactory** factory,
                                         bool with_interop) {
  log_call("DllGetActivationFactory(" + quoted(hstring_text(class_id)) + ")");
  if (factory == nullptr) {
    return win::E_POINTER_;
  }
  *factory = make_capture_factory(hstring_text(class_id), with_interop).detach();
  return *factory == nullptr ? win::REGDB_E_CLASSNOTREG_ : win::S_OK_;
}

HRESULT LUMIGRAB_STDCALL library_factory_with_interop(abi::HSTRING class_id,
                                                      abi::IActivationFactory** factory) {
  return library_factory(class_id, factory, true);
}

HRESULT LUMIGRAB_STDCALL library_factory_without_interop(abi::HSTRING class_id,
                                                         abi::IActivationFactory** factory) {
  return library_factory(class_id, factory, false);
}

}  // namespace

ComPtr<abi::IActivationFactory> make_capture_factory(std::u16string_view class_name,
                                                     bool with_interop) {
  if (class_name == abi::kGraphicsCaptureItemClass) {
    return ComPtr<abi::IActivationFactory>::attach(make_object<ItemFactory>(with_interop).detach());
  }
  if (class_name == abi::kFramePoolClass) {
    return ComPtr<abi::IActivationFactory>::attach(make_object<PoolStatics>().detach());
  }
  return nullptr;
}

void register_capture_library(const std::string& name, bool with_interop) {
  platform::DllGetActivationFactoryProc export_function =
      with_interop ? &library_factory_with_interop : &library_factory_without_interop;
  // Through void (*)(), the one function pointer type any other converts to
  // without a warning.
  register_library(name,
                   {{"DllGetActivationFactory",
                     reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(export_function))}});
}

void present_frame(std::uintptr_t target, FrameImage image) {
  free_retired_rows();
  if (image.width < 1 || image.height < 1) {
    throw std::invalid_argument("a presented image needs a positive width and height");
  }
  if (image.content_width == 0 && image.content_height == 0) {
    image.content_width = image.width;
    image.content_height = image.height;
  }
  const auto min_pitch = static_cast<std::uint32_t>(image.width) * 4;
  if (image.row_pitch == 0) {
    image.row_pitch = min_pitch;
  }
  if (image.row_pitch < min_pitch) {
    throw std::invalid_argument("a row pitch must hold a row's pixels");
  }
  auto shown = std::make_shared<Shown>();
  shown->width = image.width;
  shown->height = image.height;
  shown->content = {image.content_width, image.content_height};
  if (image.pixels.empty()) {
    shown->rows = default_rows(image.width, image.height, image.row_pitch);
  } else {
    if (image.pixels.size() !=
        std::size_t{image.row_pitch} * static_cast<std::size_t>(image.height)) {
      throw std::invalid_argument("a presented image needs height * row_pitch bytes");
    }
    shown->rows =
        std::make_shared<const PixelRows>(PixelRows{image.row_pitch, std::move(image.pixels)});
  }
  register_desktop_reset();

  std::vector<ComPtr<Session>> capturing;
  {
    Desktop& shared = desktop();
    const std::lock_guard lock(shared.mutex);
    shown->sequence = ++shared.last_sequence;
    shared.shown[target] = shown;
    if (shared.hidden.contains(target)) {
      return;
    }
    auto [first, last] = shared.started.equal_range(target);
    for (auto it = first; it != last; ++it) {
      if (it->second->try_add_ref()) {
        capturing.push_back(ComPtr<Session>::attach(it->second));
      }
    }
  }
  for (const auto& session : capturing) {
    session->pool().deliver(*shown);
  }
}

void set_runtime_context_dwell(std::chrono::microseconds dwell) {
  register_desktop_reset();
  posix::set_runtime_context_dwell(dwell);
}

void set_target_hidden(std::uintptr_t target, bool hidden) {
  register_desktop_reset();
  std::vector<ComPtr<Session>> capturing;
  {
    Desktop& shared = desktop();
    const std::lock_guard lock(shared.mutex);
    if (hidden) {
      shared.hidden.insert(target);
      return;
    }
    if (shared.hidden.erase(target) == 0) {
      return;
    }
    auto [first, last] = shared.started.equal_range(target);
    for (auto it = first; it != last; ++it) {
      if (it->second->try_add_ref()) {
        capturing.push_back(ComPtr<Session>::attach(it->second));
      }
    }
  }
  for (const auto& session : capturing) {
    if (const auto shown = session->showing()) {
      session->pool().deliver(*shown);
    }
  }
}

void set_session_interfaces(bool cursor_switch, bool border_switch, bool may_hide_border,
                            bool keeps_border_silently) {
  register_desktop_reset();
  const std::lock_guard lock(g_session_interfaces_mutex);
  g_session_interfaces =
      SessionInterfaces{cursor_switch, border_switch, may_hide_border, keeps_border_silently};
}

bool wait_frames_delivered(std::chrono::milliseconds timeout) {
  return deliveries().wait(timeout);
}

}  // namespace lumigrab::sim
