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
//
// A redirected window's frames are read from its Composite pixmap, not through
// the screen: the whole window, wherever it is, also off the screen. The
// pixmap is named anew whenever the window gets new storage (mapped again, or
// resized); a frame keeps its own pixmap, so a window that is unmapped,
// destroyed or resized while a frame is read still reads whole, as it last
// showed.

#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/capture_objects.h"
#include "platform/posix/errors.h"
#include "platform/posix/messages.h"
#include "platform/posix/objects.h"
#include "platform/posix/runtime.h"
#include "platform/x11/d3d.h"
#include "platform/x11/x11_internal.h"

namespace lumigrab::x11 {
namespace {

using abi::SizeInt32;

constexpr HRESULT kUnsupportedFormat =
    static_cast<HRESULT>(0x88982F80U);  // WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT
using posix::hand_out;
using posix::make_object;

// The layout of pixels of `depth` bits in `visual`; why not, when the
// backend cannot turn them into R, G, B, A.
struct Layout {
  std::optional<PixelLayout> layout;
  std::string refusal;
};

Layout layout_of(const Connection& c, xcb_visualid_t visual, std::uint8_t depth) {
  const xcb_setup_t* setup = xcb_get_setup(c.get());
  Layout result;
  const xcb_visualtype_t* found = nullptr;
  for (auto d = xcb_screen_allowed_depths_iterator(&c.screen()); d.rem > 0 && !found;
       xcb_depth_next(&d)) {
    for (auto v = xcb_depth_visuals_iterator(d.data); v.rem > 0; xcb_visualtype_next(&v)) {
      if (v.data->visual_id == visual && d.data->depth == depth) {
        found = v.data;
        break;
      }
    }
  }
  std::optional<xcb_format_t> format;
  const xcb_format_t* formats = xcb_setup_pixmap_formats(setup);
  for (int i = 0; i < xcb_setup_pixmap_formats_length(setup); ++i) {
    if (formats[i].depth == depth) {
      format = formats[i];
    }
  }
  const bool true_color = found != nullptr && found->_class == XCB_VISUAL_CLASS_TRUE_COLOR;
  if (!true_color || !format || (format->bits_per_pixel != 16 && format->bits_per_pixel != 32) ||
      format->scanline_pad % 8 != 0 || format->scanline_pad == 0) {
    result.refusal = "The X server shows this target at colour depth " + std::to_string(depth) +
                     (true_color ? "" : " without TrueColor") +
                     ", which cannot be captured: TrueColor at depth 16, 24, 30 or 32 can.";
    return result;
  }
  result.layout = PixelLayout{format->bits_per_pixel, format->scanline_pad, found->red_mask,
                              found->green_mask, found->blue_mask};
  return result;
}

class Item final : public posix::CaptureItem {
 public:
  // A window is captured whole from its own drawable; a monitor is its
  // rectangle of the root window.
  Item(CaptureSource source, bool is_window, SizeInt32 size, std::string refusal)
      : CaptureItem(size), source_(source), is_window_(is_window), refusal_(std::move(refusal)) {}

  const CaptureSource& source() const noexcept { return source_; }
  bool is_window() const noexcept { return is_window_; }
  // Why this target cannot be captured; empty when it can.
  const std::string& refusal() const noexcept { return refusal_; }

 private:
  const CaptureSource source_;
  const bool is_window_;
  const std::string refusal_;
};

class Pool final : public posix::FramePool {
 public:
  Pool(DWORD thread_id, ComPtr<abi::IDirect3DDevice> device, std::shared_ptr<DeviceCore> core,
       std::int32_t pixel_format, SizeInt32 size)
      : FramePool(thread_id, std::move(device), pixel_format),
        core_(std::move(core)),
        size_(size) {}

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
      dropped = std::exchange(pending_, make_object<posix::CaptureFrame>(
                                            make_source_texture(core_, source, size_.Width,
                                                                size_.Height, pixel_format_),
                                            content));
      if (raise_posted_) {
        return;
      }
      raise_posted_ = true;
    }
    posix::post_to_dispatcher_queue(
        thread_id_, [pool = ComPtr<Pool>::copy(this)] { pool->raise_frame_arrived(); });
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
  ~Damage() {
    if (!c_.broken()) {
      xcb_damage_destroy(c_.get(), id_);
    }
  }

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
  ~Redirection() {
    if (!c_.broken()) {
      xcb_composite_unredirect_window(c_.get(), window_, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    }
  }

 private:
  const Connection& c_;
  const xcb_window_t window_;
};

}  // namespace

class WindowPixmap {
 public:
  WindowPixmap(std::shared_ptr<Connection> c, xcb_pixmap_t id) : c_(std::move(c)), id_(id) {}
  WindowPixmap(const WindowPixmap&) = delete;
  WindowPixmap& operator=(const WindowPixmap&) = delete;
  ~WindowPixmap() {
    if (!c_->broken()) {
      xcb_free_pixmap(c_->get(), id_);
      xcb_flush(c_->get());
    }
  }

 private:
  // The connection that named the pixmap: the pixmap lives as long as it.
  const std::shared_ptr<Connection> c_;
  const xcb_pixmap_t id_;
};

namespace {

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
  // Frames may keep this connection alive through their pixmaps: the window's
  // events stop here.
  ~Watch() {
    source_.reset();
    damage_.reset();
    redirection_.reset();
    if (is_window_ && !c_->broken()) {
      const std::uint32_t none = XCB_EVENT_MASK_NO_EVENT;
      xcb_change_window_attributes(c_->get(), source_of_.drawable, XCB_CW_EVENT_MASK, &none);
      xcb_flush(c_->get());
    }
  }

  SizeInt32 content() const noexcept { return content_; }
  const CaptureSource& source() const noexcept { return source_of_; }

  // The source frames are read from now: the window's current pixmap where
  // there is one.
  CaptureSource current_source() const {
    CaptureSource source = source_of_;
    if (pixmap_) {
      source.drawable = pixmap_id_;
      source.x = static_cast<std::int16_t>(border_);
      source.y = static_cast<std::int16_t>(border_);
      source.pixmap = pixmap_;
      source.window_x = static_cast<std::int16_t>(border_);
      source.window_y = static_cast<std::int16_t>(border_);
    }
    return source;
  }

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
        name_pixmap();
      } else if (const auto size = window_size(*c_, target)) {
        // The size may have changed since the item was made.
        content_ = {size->first, size->second};
      }
    }
    if (c_->has_damage()) {
      damage_ = std::make_unique<Damage>(*c_, target);
      settle();
    }
    xcb_flush(c_->get());
    source_ = std::make_unique<posix::QueueSource>(c_->fd(), [this] { return pump(); });
  }

  // Takes what the server reported of the set-up itself: the redirection
  // repaints the window's new storage, which the damage object reports
  // after its creation. The first frame, delivered next, shows all of it;
  // as a frame of its own it would come a moment later with nothing new.
  void settle() {
    // Once this answer is in, every event of the requests before it is too.
    if (!reply(*c_, xcb_get_input_focus(c_->get()), xcb_get_input_focus_reply)) {
      return;
    }
    if (take_events().new_storage && redirection_) {
      name_pixmap();
    }
    damage_->rearm();
  }

  struct Taken {
    bool changed = false;
    bool new_storage = false;
  };

  // Takes the events that have come, and what they tell.
  Taken take_events() {
    Taken taken;
    while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(c_->get())}) {
      const std::uint8_t type = event->response_type & 0x7F;
      if (damage_ && type == c_->damage_event_base() + XCB_DAMAGE_NOTIFY) {
        taken.changed = true;
      } else if (type == XCB_CONFIGURE_NOTIFY && is_window_) {
        const auto* configure = reinterpret_cast<const xcb_configure_notify_event_t*>(event.get());
        const SizeInt32 size{configure->width, configure->height};
        if (configure->window == source_of_.drawable &&
            (size.Width != content_.Width || size.Height != content_.Height)) {
          // With a pixmap, its own size is the content's.
          if (!redirection_) {
            content_ = size;
          }
          taken.changed = true;
          taken.new_storage = true;
        }
      } else if (type == XCB_MAP_NOTIFY && is_window_) {
        taken.changed = true;
        taken.new_storage = true;
      }
    }
    return taken;
  }

  // Names the window's storage as a pixmap, and takes the size of what it
  // holds. The window keeps its old pixmap (and its frames their pixmaps)
  // when it has none to name: unmapped or gone.
  void name_pixmap() {
    const xcb_window_t window = source_of_.drawable;
    const xcb_pixmap_t id = c_->new_id();
    const auto window_geometry = xcb_get_geometry(c_->get(), window);
    xcb_composite_name_window_pixmap(c_->get(), window, id);
    const auto pixmap_geometry = xcb_get_geometry(c_->get(), id);
    auto of_window = reply(*c_, window_geometry, xcb_get_geometry_reply);
    auto of_pixmap = reply(*c_, pixmap_geometry, xcb_get_geometry_reply);
    if (!of_pixmap) {
      return;
    }
    auto named = std::make_shared<const WindowPixmap>(c_, id);
    if (!of_window) {
      return;
    }
    const int border = of_window->border_width;
    const int width = of_pixmap->width - 2 * border;
    const int height = of_pixmap->height - 2 * border;
    if (width <= 0 || height <= 0) {
      return;
    }
    pixmap_ = std::move(named);
    pixmap_id_ = id;
    border_ = border;
    content_ = {width, height};
  }

  // Takes what the server sent; a change becomes one frame.
  bool pump() {
    const auto [changed, new_storage] = take_events();
    if (new_storage && redirection_) {
      name_pixmap();
    }
    if (changed && !c_->broken()) {
      if (damage_) {
        damage_->rearm();
      }
      xcb_flush(c_->get());
      pool_->deliver(current_source(), content_);
    }
    return !c_->broken();
  }

  const std::shared_ptr<Connection> c_;
  const ComPtr<Pool> pool_;
  const CaptureSource source_of_;
  const bool is_window_;
  SizeInt32 content_;
  std::unique_ptr<Redirection> redirection_;
  std::shared_ptr<const WindowPixmap> pixmap_;
  xcb_pixmap_t pixmap_id_ = XCB_NONE;
  int border_ = 0;
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
      if (!item_->refusal().empty()) {
        const std::string& why = item_->refusal();
        posix::set_thread_error_info(std::u16string(why.begin(), why.end()), std::nullopt);
        return kUnsupportedFormat;
      }
      watch_ = Watch::start(pool_, *item_.get(), cursor_enabled());
      if (!watch_) {
        return win::E_FAIL_;
      }
      content = watch_->content();
      source = watch_->current_source();
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
    if (!c) {
      return win::E_INVALIDARG_;
    }
    const xcb_window_t id = window_id(window);
    const auto attributes_cookie = xcb_get_window_attributes(c->get(), id);
    auto geometry = reply(*c, xcb_get_geometry(c->get(), id), xcb_get_geometry_reply);
    auto attributes = reply(*c, attributes_cookie, xcb_get_window_attributes_reply);
    if (!geometry || !attributes || geometry->width == 0 || geometry->height == 0) {
      return win::E_INVALIDARG_;
    }
    Layout layout = layout_of(*c, attributes->visual, geometry->depth);
    CaptureSource source;
    source.drawable = id;
    source.layout = layout.layout.value_or(PixelLayout{});
    source.window = id;
    return make_object<Item>(std::move(source), true, SizeInt32{geometry->width, geometry->height},
                             std::move(layout.refusal))
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
    const xcb_screen_t& screen = c->screen();
    Layout layout = layout_of(*c, screen.root_visual, screen.root_depth);
    CaptureSource source;
    source.drawable = c->root();
    source.x = found->x;
    source.y = found->y;
    source.layout = layout.layout.value_or(PixelLayout{});
    source.window = c->root();
    return make_object<Item>(std::move(source), false, SizeInt32{found->width, found->height},
                             std::move(layout.refusal))
        ->QueryInterface(iid, result);
  }
};

class PoolStatics final : public posix::FramePoolStatics {
 private:
  bool accepts_device(abi::IDirect3DDevice* device) override {
    return device_core(device) != nullptr;
  }

  ComPtr<posix::FramePool> new_pool(DWORD thread_id, abi::IDirect3DDevice* device,
                                    std::int32_t pixel_format, SizeInt32 size,
                                    std::int32_t /*buffer_count*/) override {
    return posix::upcast<posix::FramePool>(
        make_object<Pool>(thread_id, ComPtr<abi::IDirect3DDevice>::copy(device),
                          device_core(device), pixel_format, size));
  }
};

}  // namespace

ComPtr<abi::IActivationFactory> make_capture_factory(std::u16string_view class_name) {
  return posix::make_capture_factory<ItemFactory, PoolStatics>(class_name);
}

}  // namespace lumigrab::x11
