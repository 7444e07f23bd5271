// The Windows.Graphics.Capture classes over a Wayland compositor's
// screen-copy protocol (wlr-screencopy-unstable-v1), on the objects the
// POSIX backends share.
//
// A started session opens a connection of its own on the capture thread and
// asks the compositor to copy the output into a shared-memory buffer of ours
// once it has changed ("copy with damage"): a still screen costs nothing
// until it changes. Each copy that is done gives the pool a new frame, which
// shows that buffer, and raises FrameArrived through the dispatcher queue of
// the pool's thread, inside its DispatchMessageW, as on Windows; the next
// copy goes into a buffer no frame shows. A frame's pixels are turned into
// R, G, B, A only when Python asks.
//
// When the compositor goes away, the buffers it filled are marked so: frames
// that show them can no longer be read (Map fails as on a removed device),
// rather than handing out what may be a half-written image.
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/operations.h"
#include "platform/posix/capture_objects.h"
#include "platform/posix/errors.h"
#include "platform/posix/messages.h"
#include "platform/posix/objects.h"
#include "platform/posix/runtime.h"
#include "platform/wayland/pixels.h"
#include "platform/wayland/portal.h"
#include "platform/wayland/wayland_internal.h"

namespace lumigrab::wayland {
namespace {

using abi::SizeInt32;
using posix::make_object;

constexpr HRESULT kUnsupportedFormat =
    static_cast<HRESULT>(0x88982F80U);  // WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT
// Copies that fail one after another before the session stops asking.
constexpr int kFailuresInARow = 3;
// Buffers kept for reuse beyond those that frames show.
constexpr std::size_t kKeptBuffers = 3;
// zwlr_screencopy_frame_v1 flags: the image is stored bottom row first.
constexpr std::uint32_t kYInvert = 1;

const char* const kNoScreenCopy =
    "This Wayland desktop offers no screen-copy protocol (wlr-screencopy-unstable-v1), so its "
    "monitors cannot be captured here.";
const char* const kNoScreenCopyNorPortal =
    "This Wayland desktop offers no screen-copy protocol (wlr-screencopy-unstable-v1), and its "
    "ScreenCast portal cannot share the monitor: ";
const char* const kNoWindowCapture =
    "This Wayland desktop cannot capture single windows: it offers no capture protocol for "
    "windows. Capture the monitor that shows the window instead.";

// How a monitor is captured: by the compositor's screen-copy protocol where
// it offers one, else through the ScreenCast portal. LUMIGRAB_WAYLAND_CAPTURE
// (`portal` or `screencopy`) chooses where both would do.
bool through_portal(bool has_screencopy) {
  const char* const forced = std::getenv("LUMIGRAB_WAYLAND_CAPTURE");
  if (forced != nullptr && std::string_view(forced) == "portal") {
    return true;
  }
  if (forced != nullptr && std::string_view(forced) == "screencopy") {
    return false;
  }
  return !has_screencopy;
}

// `text` as a sentence of its own: capitalised, with a full stop.
std::string sentence(std::string text) {
  if (!text.empty() && text.front() >= 'a' && text.front() <= 'z') {
    text.front() = static_cast<char>(text.front() - 'a' + 'A');
  }
  if (!text.empty() && text.back() != '.') {
    text.push_back('.');
  }
  return text;
}

class Item final : public posix::CaptureItem {
 public:
  Item(const OutputRecord& output, bool has_screencopy)
      : CaptureItem({output.width, output.height}),
        output_(output),
        has_screencopy_(has_screencopy) {}
  // An item that cannot be captured, saying why.
  Item(SizeInt32 size, std::string refusal) : CaptureItem(size), refusal_(std::move(refusal)) {}

  const OutputRecord& output() const noexcept { return output_; }
  bool has_screencopy() const noexcept { return has_screencopy_; }
  // Why this target cannot be captured; empty when it can.
  const std::string& refusal() const noexcept { return refusal_; }

 private:
  const OutputRecord output_;
  const bool has_screencopy_ = false;
  const std::string refusal_;
};

class Pool final : public posix::FramePool {
 public:
  Pool(DWORD thread_id, ComPtr<abi::IDirect3DDevice> device, std::int32_t pixel_format,
       SizeInt32 size)
      : FramePool(thread_id, std::move(device), pixel_format), size_(size) {}

  // Makes a frame of `pixels` the pool's next one (replacing an unread one)
  // and raises FrameArrived for it on the pool's thread. Several frames that
  // arrive before the thread dispatches raise it once.
  void deliver(const std::shared_ptr<const Pixels>& pixels) {
    {
      ComPtr<posix::CaptureFrame> dropped;
      const std::lock_guard lock(mutex_);
      if (closed_) {
        return;
      }
      last_ = pixels;
      const SizeInt32 content{static_cast<std::int32_t>(pixels->width()),
                              static_cast<std::int32_t>(pixels->height())};
      dropped = std::exchange(
          pending_,
          make_object<posix::CaptureFrame>(
              make_frame_texture(pixels, size_.Width, size_.Height, pixel_format_), content));
      if (raise_posted_) {
        return;
      }
      raise_posted_ = true;
    }
    posix::post_to_dispatcher_queue(
        thread_id_, [pool = ComPtr<Pool>::copy(this)] { pool->raise_frame_arrived(); });
  }

 private:
  bool accepts_device(abi::IDirect3DDevice* device) override { return is_our_device(device); }

  // The new size takes effect with the next frame, which comes at once: the
  // frame that showed the change was dropped by the caller.
  std::function<void()> recreated(abi::IDirect3DDevice* /*device*/, SizeInt32 size) override {
    size_ = size;
    return [this, again = last_] {
      if (again) {
        deliver(again);
      }
    };
  }

  void raising() override { raise_posted_ = false; }

  ComPtr<posix::CaptureSession> new_session(posix::CaptureItem& item) override;

  // Guarded by the pool's mutex.
  SizeInt32 size_;
  bool raise_posted_ = false;
  std::shared_ptr<const Pixels> last_;
};

// --- listeners of the screen-copy frame and of buffers ---

struct FrameListener {
  void (*buffer)(void*, wl_proxy*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t);
  void (*flags)(void*, wl_proxy*, std::uint32_t);
  void (*ready)(void*, wl_proxy*, std::uint32_t, std::uint32_t, std::uint32_t);
  void (*failed)(void*, wl_proxy*);
  void (*damage)(void*, wl_proxy*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t);
  void (*linux_dmabuf)(void*, wl_proxy*, std::uint32_t, std::uint32_t, std::uint32_t);
  void (*buffer_done)(void*, wl_proxy*);
};

// The Wayland side of a started session, on the capture thread: its
// connection, the copy it asked for, the buffers, and its place in the
// thread's message wait. Members go bottom-up, so the wait ends first and the
// connection last.
class Watch {
 public:
  // Null, with why in `*why` where there is something to say, when the
  // compositor cannot be reached or cannot copy the output.
  static std::unique_ptr<Watch> start(ComPtr<Pool> pool, const Item& item, bool cursor,
                                      std::string* why) {
    std::shared_ptr<Connection> c = Connection::open(why);
    if (!c) {
      return nullptr;
    }
    if (!c->screencopy() || !c->shm()) {
      *why = kNoScreenCopy;
      return nullptr;
    }
    wl_proxy* const output = c->output_proxy(item.output().global);
    if (output == nullptr) {
      return nullptr;  // the output went away meanwhile
    }
    return std::unique_ptr<Watch>(new Watch(std::move(c), std::move(pool), output, cursor));
  }

  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;
  ~Watch() {
    source_.reset();
    if (c_->broken()) {
      return;  // nothing can be sent; the connection's end frees the objects
    }
    const wl::Client& wl = c_->wl();
    if (frame_ != nullptr) {
      wl.proxy_marshal_flags(frame_, wl::request::kScreencopyFrameDestroy, nullptr,
                             wl.proxy_get_version(frame_), wl::kMarshalDestroy);
    }
    for (Slot& slot : slots_) {
      destroy_buffer(slot);
    }
    wl.proxy_marshal_flags(manager_, wl::request::kScreencopyManagerDestroy, nullptr,
                           wl.proxy_get_version(manager_), wl::kMarshalDestroy);
    wl.proxy_destroy(shm_);
    c_->flush();
  }

 private:
  // A buffer the compositor copies into, and the memory behind it.
  struct Slot {
    std::shared_ptr<Pixels> pixels;
    wl_proxy* buffer = nullptr;
  };

  Watch(std::shared_ptr<Connection> c, ComPtr<Pool> pool, wl_proxy* output, bool cursor)
      : c_(std::move(c)), pool_(std::move(pool)), output_(output), cursor_(cursor) {
    shm_ = c_->bind(c_->shm(), c_->wl().shm_interface, 1);
    manager_ = c_->bind(c_->screencopy(), &wl::zwlr_screencopy_manager_v1_interface, 3);
    request_copy();
    c_->flush();
    source_ = std::make_unique<posix::QueueSource>(c_->fd(), [this] { return pump(); });
  }

  bool pump() {
    const bool working = c_->pump();
    if (!working) {
      // The compositor went away: what it filled may be half written.
      alive_->store(false, std::memory_order_release);
    }
    return working;
  }

  // Asks for the output's next copy; the compositor first says what buffer
  // it takes.
  void request_copy() {
    const wl::Client& wl = c_->wl();
    offer_.reset();
    frame_ = wl.proxy_marshal_flags(manager_, wl::request::kScreencopyManagerCaptureOutput,
                                    &wl::zwlr_screencopy_frame_v1_interface,
                                    wl.proxy_get_version(manager_), 0, nullptr,
                                    static_cast<std::int32_t>(cursor_ ? 1 : 0), output_);
    static const FrameListener kListener{on_buffer, on_flags,        on_ready,      on_failed,
                                         on_damage, on_linux_dmabuf, on_buffer_done};
    wl.proxy_add_listener(
        frame_, reinterpret_cast<void (**)()>(const_cast<FrameListener*>(&kListener)), this);
  }

  void end_frame() {
    const wl::Client& wl = c_->wl();
    wl.proxy_marshal_flags(frame_, wl::request::kScreencopyFrameDestroy, nullptr,
                           wl.proxy_get_version(frame_), wl::kMarshalDestroy);
    frame_ = nullptr;
  }

  struct Offer {
    std::uint32_t format;
    std::uint32_t width;
    std::uint32_t height;
    std::uint32_t stride;
  };

  static Watch& of(void* data) { return *static_cast<Watch*>(data); }

  // Of the formats offered, the first one this backend reads.
  static void on_buffer(void* data, wl_proxy* /*frame*/, std::uint32_t format, std::uint32_t width,
                        std::uint32_t height, std::uint32_t stride) {
    Watch& w = of(data);
    if (!w.offer_ && is_readable_format(format)) {
      w.offer_ = Offer{format, width, height, stride};
    }
    // Before version 3 the one buffer event is all the compositor says.
    if (w.c_->wl().proxy_get_version(w.frame_) < 3) {
      w.copy();
    }
  }
  static void on_flags(void* data, wl_proxy* /*frame*/, std::uint32_t flags) {
    Watch& w = of(data);
    if (w.copying_ != nullptr) {
      w.copying_->pixels->set_upside_down((flags & kYInvert) != 0);
    }
  }
  static void on_ready(void* data, wl_proxy* /*frame*/, std::uint32_t /*sec_hi*/,
                       std::uint32_t /*sec_lo*/, std::uint32_t /*nsec*/) {
    Watch& w = of(data);
    w.failures_ = 0;
    w.end_frame();
    if (w.copying_ != nullptr) {
      const std::shared_ptr<const Pixels> done = w.copying_->pixels;
      w.copying_ = nullptr;
      w.pool_->deliver(done);
    }
    w.request_copy();
  }
  static void on_failed(void* data, wl_proxy* /*frame*/) {
    Watch& w = of(data);
    w.copying_ = nullptr;
    w.end_frame();
    // An output that went away fails every copy: after a few, stop asking.
    if (++w.failures_ < kFailuresInARow) {
      w.request_copy();
    }
  }
  static void on_damage(void* /*data*/, wl_proxy* /*frame*/, std::uint32_t /*x*/,
                        std::uint32_t /*y*/, std::uint32_t /*width*/, std::uint32_t /*height*/) {}
  static void on_linux_dmabuf(void* /*data*/, wl_proxy* /*frame*/, std::uint32_t /*format*/,
                              std::uint32_t /*width*/, std::uint32_t /*height*/) {}
  static void on_buffer_done(void* data, wl_proxy* /*frame*/) { of(data).copy(); }

  // Has the compositor copy into a buffer that no frame shows, once the
  // output has changed since the last copy.
  void copy() {
    if (frame_ == nullptr || copying_ != nullptr) {
      return;
    }
    if (!offer_) {
      // Only formats this backend cannot read (or DMA-BUF alone): nothing to
      // copy into.
      end_frame();
      return;
    }
    Slot* slot = free_slot(*offer_);
    if (slot == nullptr) {
      end_frame();
      return;
    }
    copying_ = slot;
    const wl::Client& wl = c_->wl();
    const std::uint32_t version = wl.proxy_get_version(frame_);
    wl.proxy_marshal_flags(frame_,
                           version >= 2 ? wl::request::kScreencopyFrameCopyWithDamage
                                        : wl::request::kScreencopyFrameCopy,
                           nullptr, version, 0, slot->buffer);
  }

  // A buffer of the offered kind that no frame shows: a kept one, or a new
  // one. Buffers of another kind (the mode changed) go once no frame shows
  // them.
  Slot* free_slot(const Offer& offer) {
    std::vector<Slot> kept;
    Slot* found = nullptr;
    std::size_t free_count = 0;
    for (Slot& slot : slots_) {
      const bool unused = slot.pixels.use_count() == 1;
      const bool fits =
          slot.pixels->width() == offer.width && slot.pixels->height() == offer.height &&
          slot.pixels->stride() == offer.stride && slot.pixels->format() == offer.format;
      if (unused && (!fits || free_count >= kKeptBuffers)) {
        destroy_buffer(slot);
        continue;
      }
      if (unused) {
        ++free_count;
      }
      kept.push_back(std::move(slot));
    }
    slots_ = std::move(kept);
    for (Slot& slot : slots_) {
      if (slot.pixels.use_count() == 1 && slot.pixels->width() == offer.width &&
          slot.pixels->height() == offer.height && slot.pixels->stride() == offer.stride &&
          slot.pixels->format() == offer.format) {
        found = &slot;
        break;
      }
    }
    if (found != nullptr) {
      // The last reader let go with a release; what it read is done before
      // the compositor writes again.
      std::atomic_thread_fence(std::memory_order_acquire);
      return found;
    }
    Slot made;
    made.pixels = Pixels::create(offer.width, offer.height, offer.stride, offer.format, alive_);
    if (!made.pixels) {
      return nullptr;
    }
    const wl::Client& wl = c_->wl();
    wl_proxy* const pool = wl.proxy_marshal_flags(
        shm_, wl::request::kShmCreatePool, wl.shm_pool_interface, wl.proxy_get_version(shm_), 0,
        nullptr, made.pixels->fd(), static_cast<std::int32_t>(made.pixels->size()));
    made.buffer = wl.proxy_marshal_flags(
        pool, wl::request::kShmPoolCreateBuffer, wl.buffer_interface, wl.proxy_get_version(pool), 0,
        nullptr, 0, static_cast<std::int32_t>(offer.width), static_cast<std::int32_t>(offer.height),
        static_cast<std::int32_t>(offer.stride), offer.format);
    wl.proxy_marshal_flags(pool, wl::request::kShmPoolDestroy, nullptr, wl.proxy_get_version(pool),
                           wl::kMarshalDestroy);
    slots_.push_back(std::move(made));
    return &slots_.back();
  }

  void destroy_buffer(Slot& slot) {
    if (slot.buffer != nullptr) {
      const wl::Client& wl = c_->wl();
      wl.proxy_marshal_flags(slot.buffer, wl::request::kBufferDestroy, nullptr,
                             wl.proxy_get_version(slot.buffer), wl::kMarshalDestroy);
      slot.buffer = nullptr;
    }
  }

  const std::shared_ptr<Connection> c_;
  const ComPtr<Pool> pool_;
  wl_proxy* const output_;
  const bool cursor_;
  const std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
  wl_proxy* shm_ = nullptr;
  wl_proxy* manager_ = nullptr;
  wl_proxy* frame_ = nullptr;
  std::optional<Offer> offer_;
  // Slots are kept in a vector that only the capture thread changes, and
  // `copying_` is cleared before any change of it.
  std::vector<Slot> slots_;
  Slot* copying_ = nullptr;
  int failures_ = 0;
  std::unique_ptr<posix::QueueSource> source_;
};

// The pointer is drawn only when asked for, as on X11. There is no border to
// turn off: the switch is taken and changes nothing.
class Session final : public posix::CaptureSession {
 public:
  Session(ComPtr<Pool> pool, ComPtr<Item> item)
      : CaptureSession(false), pool_(std::move(pool)), item_(std::move(item)) {}

 private:
  // The first frame comes with the compositor's first copy.
  HRESULT start() override {
    const std::lock_guard lock(mutex_);
    if (closed_ || watch_) {
      return closed_ ? win::RO_E_CLOSED_ : posix::kIllegalMethodCall;
    }
    std::string why = item_->refusal();
    if (why.empty() && through_portal(item_->has_screencopy())) {
      return start_portal();
    }
    if (why.empty()) {
      watch_ = Watch::start(pool_, *item_.get(), cursor_enabled(), &why);
    }
    if (!watch_) {
      if (why.empty()) {
        return win::E_FAIL_;
      }
      posix::set_thread_error_info(std::u16string(why.begin(), why.end()), std::nullopt);
      return kUnsupportedFormat;
    }
    return win::S_OK_;
  }

  // Call with the mutex held.
  HRESULT start_portal() {
    const OutputRecord& o = item_->output();
    std::string why;
    cast_ = portal::ScreenCast::start(
        {o.x, o.y, o.width, o.height}, cursor_enabled(),
        [pool = pool_](const std::shared_ptr<const Pixels>& pixels) { pool->deliver(pixels); },
        &why);
    if (cast_) {
      return win::S_OK_;
    }
    why = item_->has_screencopy() ? sentence(why) : std::string(kNoScreenCopyNorPortal) + why + ".";
    posix::set_thread_error_info(std::u16string(why.begin(), why.end()), std::nullopt);
    return kUnsupportedFormat;
  }

  void close() override {
    std::unique_ptr<Watch> ended;
    std::unique_ptr<portal::ScreenCast> cast;
    const std::lock_guard lock(mutex_);
    closed_ = true;
    ended.swap(watch_);
    cast.swap(cast_);
  }

  const ComPtr<Pool> pool_;
  const ComPtr<Item> item_;
  std::mutex mutex_;
  bool closed_ = false;
  std::unique_ptr<Watch> watch_;
  std::unique_ptr<portal::ScreenCast> cast_;
};

ComPtr<posix::CaptureSession> Pool::new_session(posix::CaptureItem& item) {
  return posix::upcast<posix::CaptureSession>(make_object<Session>(
      ComPtr<Pool>::copy(this), ComPtr<Item>::copy(static_cast<Item*>(&item))));
}

class ItemFactory final : public posix::CaptureItemFactory {
 public:
  ItemFactory() : CaptureItemFactory(true) {}

  // Windows are known, but no compositor this backend speaks to copies one
  // window: the item refuses to start, saying so.
  HRESULT LUMIGRAB_STDCALL CreateForWindow(HWND window, const GUID& iid, void** result) override {
    if (result == nullptr) {
      return win::E_POINTER_;
    }
    *result = nullptr;
    RECT rect{};
    if (window == nullptr || platform::with_wayland::GetClientRect(window, &rect) == 0) {
      return win::E_INVALIDARG_;
    }
    const SizeInt32 size{std::max<LONG>(1, rect.right), std::max<LONG>(1, rect.bottom)};
    return make_object<Item>(size, kNoWindowCapture)->QueryInterface(iid, result);
  }

  HRESULT LUMIGRAB_STDCALL CreateForMonitor(HMONITOR monitor, const GUID& iid,
                                            void** result) override {
    if (result == nullptr) {
      return win::E_POINTER_;
    }
    *result = nullptr;
    const auto found = find_output(monitor);
    if (!found || found->width <= 0 || found->height <= 0) {
      return win::E_INVALIDARG_;
    }
    bool has_screencopy = false;
    if (const auto c = shared_connection()) {
      const std::lock_guard lock(c->use_mutex());
      has_screencopy = c->screencopy() && c->shm();
    }
    return make_object<Item>(*found, has_screencopy)->QueryInterface(iid, result);
  }
};

class PoolStatics final : public posix::FramePoolStatics {
 private:
  bool accepts_device(abi::IDirect3DDevice* device) override { return is_our_device(device); }

  ComPtr<posix::FramePool> new_pool(DWORD thread_id, abi::IDirect3DDevice* device,
                                    std::int32_t pixel_format, SizeInt32 size,
                                    std::int32_t /*buffer_count*/) override {
    return posix::upcast<posix::FramePool>(make_object<Pool>(
        thread_id, ComPtr<abi::IDirect3DDevice>::copy(device), pixel_format, size));
  }
};

}  // namespace

ComPtr<abi::IActivationFactory> make_capture_factory(std::u16string_view class_name) {
  return posix::make_capture_factory<ItemFactory, PoolStatics>(class_name);
}

}  // namespace lumigrab::wayland
