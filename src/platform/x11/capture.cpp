// The Windows.Graphics.Capture classes over X, on the objects the POSIX
// backends share: capture items for monitors and windows, how frame pools get
// their frames, and capture sessions.
//
// A started session opens an X connection of its own on the capture thread
// and watches its target with a DAMAGE object at the non-empty level: the
// server reports once that something changed, and the session subtracts the
// damage to hear of the next change, so a busy screen costs one event per
// look rather than a flood of rectangles. A window is also redirected with
// Composite, so that it keeps its own contents while covered, and watched for
// size changes. Each report gives the pool a new frame and raises FrameArrived
// through the dispatcher queue of the pool's thread, inside its
// DispatchMessageW, as on Windows. No pixel is read here: a frame's texture
// only names the rectangle to read when Python asks.
#include <xcb/composite.h>
#include <xcb/damage.h>

#include <mutex>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/capture_objects.h"
#include "platform/posix/messages.h"
#include "platform/posix/objects.h"
#include "platform/posix/runtime.h"
#include "platform/x11/d3d.h"
#include "platform/x11/x11_internal.h"

namespace lumigrab::x11 {
namespace {

using abi::SizeInt32;
using posix::hand_out;
using posix::make_object;

class Item final : public posix::CaptureItem {
 public:
  // A window is captured whole from its own drawable; a monitor is its
  // rectangle of the root window.
  Item(CaptureSource source, bool is_window, SizeInt32 size)
      : CaptureItem(size), source_(source), is_window_(is_window) {}

  const CaptureSource& source() const noexcept { return source_; }
  bool is_window() const noexcept { return is_window_; }

 private:
  const CaptureSource source_;
  const bool is_window_;
};

class Pool final : public posix::FramePool {
 public:
  Pool(DWORD thread_id, ComPtr<abi::IDirect3DDevice> device, std::shared_ptr<DeviceCore> core,
       std::int32_t pixel_format, SizeInt32 size)
      : FramePool(thread_id, std::move(device), pixel_format), core_(std::move(core)), size_(size) {}

  // Makes a frame of `source` the pool's next one (replacing an unread one)
  // and raises FrameArrived for it on the pool's thread. Several frames that
  // arrive before the thread dispatches raise it once.
  void deliver(const CaptureSource& source, SizeInt32 content) {
    {
      ComPtr<posix::CaptureFrame> dropped;
      const std::lock_guard lock(mutex_);
      if (closed_) {
        return;
      }
      last_ = std::pair{source, content};
      dropped = std::exchange(
          pending_, make_object<posix::CaptureFrame>(
                        make_source_texture(core_, source, size_.Width, size_.Height,
                                            pixel_format_),
                        content));
      if (raise_posted_) {
        return;
      }
      raise_posted_ = true;
    }
    posix::post_to_dispatcher_queue(thread_id_,
                                    [pool = ComPtr<Pool>::copy(this)] { pool->raise_frame_arrived(); });
  }

 private:
  bool accepts_device(abi::IDirect3DDevice* device) override {
    return device_core(device) != nullptr;
  }

  // The new size takes effect with the next frame, which comes at once: the
  // frame that showed the change was dropped by the caller.
  std::function<void()> recreated(abi::IDirect3DDevice* device, SizeInt32 size) override {
    std::shared_ptr<DeviceCore> replaced = std::exchange(core_, device_core(device));
    size_ = size;
    return [this, replaced = std::move(replaced), again = last_] {
      if (again) {
        deliver(again->first, again->second);
      }
    };
  }

  void raising() override { raise_posted_ = false; }

  ComPtr<posix::CaptureSession> new_session(posix::CaptureItem& item) override;

  // Guarded by the pool's mutex.
  std::shared_ptr<DeviceCore> core_;
  SizeInt32 size_;
  bool raise_posted_ = false;
  std::optional<std::pair<CaptureSource, SizeInt32>> last_;
};

// A DAMAGE object, destroyed with its owner.
class Damage {
 public:
  Damage(const Connection& c, xcb_drawable_t drawable) : c_(c), id_(c.new_id()) {
    xcb_damage_create(c_.get(), id_, drawable, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
  }
  Damage(const Damage&) = delete;
  Damage& operator=(const Damage&) = delete;
  ~Damage() { xcb_damage_destroy(c_.get(), id_); }

  // Empties the damage, so that the next change is reported again.
  void rearm() const { xcb_damage_subtract(c_.get(), id_, XCB_NONE, XCB_NONE); }

 private:
  const Connection& c_;
  const xcb_damage_damage_t id_;
};

// A window redirected off-screen by this client, given back with its owner.
class Redirection {
 public:
  Redirection(const Connection& c, xcb_window_t window) : c_(c), window_(window) {
    xcb_composite_redirect_window(c_.get(), window_, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
  }
  Redirection(const Redirection&) = delete;
  Redirection& operator=(const Redirection&) = delete;
  ~Redirection() { xcb_composite_unredirect_window(c_.get(), window_, XCB_COMPOSITE_REDIRECT_AUTOMATIC); }

 private:
  const Connection& c_;
  const xcb_window_t window_;
};

// The X side of a started session, on the capture thread: its connection,
// what it asked of the server, and its place in the thread's message wait.
// Members go bottom-up, so the wait ends first and the connection last.
class Watch {
 public:
  // With `cursor`, frames show the pointer too.
  static std::unique_ptr<Watch> start(ComPtr<Pool> pool, const Item& item, bool cursor) {
    std::shared_ptr<Connection> c = Connection::open();
    if (!c) {
      return nullptr;
    }
    return std::unique_ptr<Watch>(new Watch(std::move(c), std::move(pool), item, cursor));
  }

  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;
  ~Watch() = default;

  SizeInt32 content() const noexcept { return content_; }
  const CaptureSource& source() const noexcept { return source_of_; }

 private:
  static CaptureSource with_cursor(CaptureSource source, bool cursor) {
    source.cursor = cursor;
    return source;
  }

  Watch(std::shared_ptr<Connection> c, ComPtr<Pool> pool, const Item& item, bool cursor)
      : c_(std::move(c)),
        pool_(std::move(pool)),
        source_of_(with_cursor(item.source(), cursor)),
        is_window_(item.is_window()),
        content_(item.size()) {
    const xcb_window_t target = item.source().drawable;
    if (is_window_) {
      const std::uint32_t events = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
      xcb_change_window_attributes(c_->get(), target, XCB_CW_EVENT_MASK, &events);
      if (c_->has_composite()) {
        redirection_ = std::make_unique<Redirection>(*c_, target);
      }
      // The size may have changed since the item was made.
      if (const auto size = window_size(*c_, target)) {
        content_ = {size->first, size->second};
      }
    }
    if (c_->has_damage()) {
      damage_ = std::make_unique<Damage>(*c_, target);
    }
    xcb_flush(c_->get());
    source_ = std::make_unique<posix::QueueSource>(c_->fd(), [this] { return pump(); });
  }

  // Takes what the server sent; a change becomes one frame.
  bool pump() {
    bool changed = false;
    while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(c_->get())}) {
      const std::uint8_t type = event->response_type & 0x7F;
      if (damage_ && type == c_->damage_event_base() + XCB_DAMAGE_NOTIFY) {
        changed = true;
      } else if (type == XCB_CONFIGURE_NOTIFY && is_window_) {
        const auto* configure = reinterpret_cast<const xcb_configure_notify_event_t*>(event.get());
        const SizeInt32 size{configure->width, configure->height};
        if (configure->window == source_of_.drawable &&
            (size.Width != content_.Width || size.Height != content_.Height)) {
          content_ = size;
          changed = true;
        }
      }
    }
    if (changed) {
      if (damage_) {
        damage_->rearm();
      }
      xcb_flush(c_->get());
      pool_->deliver(source_of_, content_);
    }
    return !c_->broken();
  }

  const std::shared_ptr<Connection> c_;
  const ComPtr<Pool> pool_;
  const CaptureSource source_of_;
  const bool is_window_;
  SizeInt32 content_;
  std::unique_ptr<Redirection> redirection_;
  std::unique_ptr<Damage> damage_;
  std::unique_ptr<posix::QueueSource> source_;
};

// The pointer is drawn only when asked for, as frames without it were all
// this backend gave before. There is no border to turn off: the switch is
// taken and changes nothing.
class Session final : public posix::CaptureSession {
 public:
  Session(ComPtr<Pool> pool, ComPtr<Item> item)
      : CaptureSession(false), pool_(std::move(pool)), item_(std::move(item)) {}

 private:
  // The first frame shows the target as it is when the capture starts.
  HRESULT start() override {
    SizeInt32 content{};
    CaptureSource source;
    {
      const std::lock_guard lock(mutex_);
      if (closed_ || watch_) {
        return closed_ ? win::RO_E_CLOSED_ : posix::kIllegalMethodCall;
      }
      watch_ = Watch::start(pool_, *item_.get(), cursor_enabled());
      if (!watch_) {
        return win::E_FAIL_;
      }
      content = watch_->content();
      source = watch_->source();
    }
    pool_->deliver(source, content);
    return win::S_OK_;
  }

  void close() override {
    std::unique_ptr<Watch> ended;
    const std::lock_guard lock(mutex_);
    closed_ = true;
    ended.swap(watch_);
  }

  const ComPtr<Pool> pool_;
  const ComPtr<Item> item_;
  std::mutex mutex_;
  bool closed_ = false;
  std::unique_ptr<Watch> watch_;
};

ComPtr<posix::CaptureSession> Pool::new_session(posix::CaptureItem& item) {
  return posix::upcast<posix::CaptureSession>(make_object<Session>(
      ComPtr<Pool>::copy(this), ComPtr<Item>::copy(static_cast<Item*>(&item))));
}

class ItemFactory final : public posix::CaptureItemFactory {
 public:
  ItemFactory() : CaptureItemFactory(true) {}

  HRESULT LUMIGRAB_STDCALL CreateForWindow(HWND window, const GUID& iid, void** result) override {
    if (result == nullptr) {
      return win::E_POINTER_;
    }
    *result = nullptr;
    const auto c = shared_connection();
    const xcb_window_t id = window_id(window);
    const auto size = c ? window_size(*c, id) : std::nullopt;
    if (!size || size->first == 0 || size->second == 0) {
      return win::E_INVALIDARG_;
    }
    return make_object<Item>(CaptureSource{id, 0, 0, false, id}, true,
                             SizeInt32{size->first, size->second})
        ->QueryInterface(iid, result);
  }

  HRESULT LUMIGRAB_STDCALL CreateForMonitor(HMONITOR monitor, const GUID& iid,
                                            void** result) override {
    if (result == nullptr) {
      return win::E_POINTER_;
    }
    *result = nullptr;
    const auto c = shared_connection();
    const auto found = c ? find_monitor(*c, monitor) : std::nullopt;
    if (!found || found->width == 0 || found->height == 0) {
      return win::E_INVALIDARG_;
    }
    return make_object<Item>(CaptureSource{c->root(), found->x, found->y, false, c->root()}, false,
                             SizeInt32{found->width, found->height})
        ->QueryInterface(iid, result);
  }
};

class PoolStatics final : public posix::FramePoolStatics {
 private:
  bool accepts_device(abi::IDirect3DDevice* device) override {
    return device_core(device) != nullptr;
  }

  ComPtr<posix::FramePool> new_pool(DWORD thread_id, abi::IDirect3DDevice* device,
                                    std::int32_t pixel_format, SizeInt32 size) override {
    return posix::upcast<posix::FramePool>(make_object<Pool>(
        thread_id, ComPtr<abi::IDirect3DDevice>::copy(device), device_core(device), pixel_format,
        size));
  }
};

}  // namespace

ComPtr<abi::IActivationFactory> make_capture_factory(std::u16string_view class_name) {
  if (class_name == abi::kGraphicsCaptureItemClass) {
    return ComPtr<abi::IActivationFactory>::attach(make_object<ItemFactory>().detach());
  }
  if (class_name == abi::kFramePoolClass) {
    return ComPtr<abi::IActivationFactory>::attach(make_object<PoolStatics>().detach());
  }
  return nullptr;
}

}  // namespace lumigrab::x11
