// The Windows.Graphics.Capture classes over X: capture items for monitors and
// windows, frame pools, capture sessions, frames and their surfaces.
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
#include "platform/posix/messages.h"
#include "platform/posix/objects.h"
#include "platform/posix/runtime.h"
#include "platform/x11/d3d.h"
#include "platform/x11/x11_internal.h"

namespace lumigrab::x11 {
namespace {

using abi::SizeInt32;
using posix::hand_out;
using posix::InspectableObject;
using posix::make_object;

bool is_capture_format(std::int32_t format) {
  return format == abi::DXGI_FORMAT_R8G8B8A8_UNORM || format == abi::DXGI_FORMAT_B8G8R8A8_UNORM;
}

class Surface final : public InspectableObject<Surface, abi::IDirect3DSurface,
                                               abi::IDirect3DDxgiInterfaceAccess> {
 public:
  static constexpr std::string_view kKind = "surface";

  explicit Surface(ComPtr<abi::ID3D11Texture2D> texture) : texture_(std::move(texture)) {}

  void* find_interface(const GUID& iid) noexcept {
    if (iid == abi::IID_IUnknown || iid == abi::IID_IInspectable ||
        iid == abi::IID_IDirect3DSurface) {
      return static_cast<abi::IDirect3DSurface*>(this);
    }
    if (iid == abi::IID_IDirect3DDxgiInterfaceAccess) {
      return static_cast<abi::IDirect3DDxgiInterfaceAccess*>(this);
    }
    return nullptr;
  }

  HRESULT LUMIGRAB_STDCALL get_Description(abi::Direct3DSurfaceDescription* value) override {
    if (value == nullptr) {
      return win::E_POINTER_;
    }
    abi::D3D11_TEXTURE2D_DESC desc{};
    texture_->GetDesc(&desc);
    *value = {static_cast<std::int32_t>(desc.Width), static_cast<std::int32_t>(desc.Height),
              desc.Format, 1, 0};
    return win::S_OK_;
  }

  HRESULT LUMIGRAB_STDCALL GetInterface(const GUID& iid, void** out) override {
    if (out == nullptr) {
      return win::E_POINTER_;
    }
    *out = nullptr;
    return texture_->QueryInterface(iid, out);
  }

 private:
  const ComPtr<abi::ID3D11Texture2D> texture_;
};

class Frame final
    : public InspectableObject<Frame, abi::IDirect3D11CaptureFrame, abi::IClosable> {
 public:
  static constexpr std::string_view kKind = "frame";

  Frame(ComPtr<abi::ID3D11Texture2D> texture, SizeInt32 content_size)
      : texture_(std::move(texture)),
        content_size_(content_size),
        arrived_(std::chrono::steady_clock::now()) {}

  void* find_interface(const GUID& iid) noexcept {
    if (iid == abi::IID_IUnknown || iid == abi::IID_IInspectable ||
        iid == abi::IID_IDirect3D11CaptureFrame) {
      return static_cast<abi::IDirect3D11CaptureFrame*>(this);
    }
    if (iid == abi::IID_IClosable) {
      return static_cast<abi::IClosable*>(this);
    }
    return nullptr;
  }

  HRESULT LUMIGRAB_STDCALL get_Surface(abi::IDirect3DSurface** value) override {
    if (value == nullptr) {
      return win::E_POINTER_;
    }
    *value = nullptr;
    if (closed_.load()) {
      return win::RO_E_CLOSED_;
    }
    return hand_out(make_object<Surface>(texture_), value);
  }

  HRESULT LUMIGRAB_STDCALL get_SystemRelativeTime(abi::TimeSpan* value) override {
    if (value == nullptr) {
      return win::E_POINTER_;
    }
    if (closed_.load()) {
      return win::RO_E_CLOSED_;
    }
    using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;
    value->Duration = std::chrono::duration_cast<Ticks>(arrived_.time_since_epoch()).count();
    return win::S_OK_;
  }

  HRESULT LUMIGRAB_STDCALL get_ContentSize(SizeInt32* value) override {
    if (value == nullptr) {
      return win::E_POINTER_;
    }
    if (closed_.load()) {
      return win::RO_E_CLOSED_;
    }
    *value = content_size_;
    return win::S_OK_;
  }

  HRESULT LUMIGRAB_STDCALL Close() override {
    closed_.store(true);
    return win::S_OK_;
  }

 private:
  const ComPtr<abi::ID3D11Texture2D> texture_;
  const SizeInt32 content_size_;
  const std::chrono::steady_clock::time_point arrived_;
  std::atomic<bool> closed_{false};
};

class Item final : public InspectableObject<Item, abi::IGraphicsCaptureItem> {
 public:
  static constexpr std::string_view kKind = "item";

  // A window is captured whole from its own drawable; a monitor is its
  // rectangle of the root window.
  Item(CaptureSource source, bool is_window, SizeInt32 size)
      : source_(source), is_window_(is_window), size_(size) {}

  void* find_interface(const GUID& iid) noexcept {
    if (iid == abi::IID_IUnknown || iid == abi::IID_IInspectable ||
        iid == abi::IID_IGraphicsCaptureItem) {
      return static_cast<abi::IGraphicsCaptureItem*>(this);
    }
    return nullptr;
  }

  HRESULT LUMIGRAB_STDCALL get_DisplayName(abi::HSTRING* value) override {
    if (value == nullptr) {
      return win::E_POINTER_;
    }
    *value = nullptr;
    return win::E_NOTIMPL_;
  }

  HRESULT LUMIGRAB_STDCALL get_Size(SizeInt32* value) override {
    if (value == nullptr) {
      return win::E_POINTER_;
    }
    *value = size_;
    return win::S_OK_;
  }

  const CaptureSource& source() const noexcept { return source_; }
  bool is_window() const noexcept { return is_window_; }
  SizeInt32 size() const noexcept { return size_; }

 private:
  const CaptureSource source_;
  const bool is_window_;
  const SizeInt32 size_;
};

class Pool final
    : public InspectableObject<Pool, abi::IDirect3D11CaptureFramePool, abi::IClosable> {
 public:
  static constexpr std::string_view kKind = "pool";

  Pool(DWORD thread_id, ComPtr<abi::IDirect3DDevice> device, std::shared_ptr<DeviceCore> core,
       std::int32_t pixel_format, SizeInt32 size)
      : thread_id_(thread_id),
        device_(std::move(device)),
        core_(std::move(core)),
        pixel_format_(pixel_format),
        size_(size) {}

  void* find_interface(const GUID& iid) noexcept {
    if (iid == abi::IID_IUnknown || iid == abi::IID_IInspectable ||
        iid == abi::IID_IDirect3D11CaptureFramePool) {
      return static_cast<abi::IDirect3D11CaptureFramePool*>(this);
    }
    if (iid == abi::IID_IClosable) {
      return static_cast<abi::IClosable*>(this);
    }
    return nullptr;
  }

  // The new size takes effect with the next frame, which comes at once: the
  // frame that showed the change was dropped by the caller.
  HRESULT LUMIGRAB_STDCALL Recreate(abi::IDirect3DDevice* device, std::int32_t pixel_format,
                                    std::int32_t number_of_buffers, SizeInt32 size) override {
    std::shared_ptr<DeviceCore> core = device_core(device);
    if (!core || !is_capture_format(pixel_format) || number_of_buffers < 1 || size.Width < 1 ||
        size.Height < 1) {
      return win::E_INVALIDARG_;
    }
    auto replaced = ComPtr<abi::IDirect3DDevice>::copy(device);
    std::optional<std::pair<CaptureSource, SizeInt32>> again;
    {
      const std::lock_guard lock(mutex_);
      if (closed_) {
        return win::RO_E_CLOSED_;
      }
      device_.swap(replaced);
      core_.swap(core);
      pixel_format_ = pixel_format;
      size_ = size;
      again = last_;
    }
    if (again) {
      deliver(again->first, again->second);
    }
    return win::S_OK_;
  }

  HRESULT LUMIGRAB_STDCALL TryGetNextFrame(abi::IDirect3D11CaptureFrame** result) override {
    if (result == nullptr) {
      return win::E_POINTER_;
    }
    *result = nullptr;
    const std::lock_guard lock(mutex_);
    if (closed_) {
      return win::RO_E_CLOSED_;
    }
    *result = pending_.detach();
    return win::S_OK_;
  }

  HRESULT LUMIGRAB_STDCALL add_FrameArrived(abi::IFrameArrivedHandler* handler,
                                            abi::EventRegistrationToken* token) override {
    if (token == nullptr) {
      return win::E_POINTER_;
    }
    *token = {0};
    if (handler == nullptr) {
      return win::E_INVALIDARG_;
    }
    const std::lock_guard lock(mutex_);
    if (closed_) {
      return win::RO_E_CLOSED_;
    }
    *token = {++last_token_};
    handlers_.emplace_back(token->value, ComPtr<abi::IFrameArrivedHandler>::copy(handler));
    return win::S_OK_;
  }

  HRESULT LUMIGRAB_STDCALL remove_FrameArrived(abi::EventRegistrationToken token) override {
    // Released after the lock: the handler may hold the last other reference
    // to something that calls back into this pool.
    ComPtr<abi::IFrameArrivedHandler> removed;
    const std::lock_guard lock(mutex_);
    if (closed_) {
      return win::RO_E_CLOSED_;
    }
    for (auto it = handlers_.begin(); it != handlers_.end(); ++it) {
      if (it->first == token.value) {
        removed = std::move(it->second);
        handlers_.erase(it);
        break;
      }
    }
    return win::S_OK_;
  }

  HRESULT LUMIGRAB_STDCALL CreateCaptureSession(abi::IGraphicsCaptureItem* item,
                                                abi::IGraphicsCaptureSession** result) override;

  HRESULT LUMIGRAB_STDCALL get_DispatcherQueue(abi::IDispatcherQueue** value) override {
    if (value == nullptr) {
      return win::E_POINTER_;
    }
    *value = nullptr;
    return win::E_NOTIMPL_;
  }

  HRESULT LUMIGRAB_STDCALL Close() override {
    std::vector<std::pair<std::int64_t, ComPtr<abi::IFrameArrivedHandler>>> handlers;
    ComPtr<Frame> pending;
    ComPtr<abi::IDirect3DDevice> device;
    const std::lock_guard lock(mutex_);
    closed_ = true;
    handlers.swap(handlers_);
    pending.swap(pending_);
    device.swap(device_);
    return win::S_OK_;
  }

  // Makes a frame of `source` the pool's next one (replacing an unread one)
  // and raises FrameArrived for it on the pool's thread. Several frames that
  // arrive before the thread dispatches raise it once.
  void deliver(const CaptureSource& source, SizeInt32 content) {
    {
      ComPtr<Frame> dropped;
      const std::lock_guard lock(mutex_);
      if (closed_) {
        return;
      }
      last_ = std::pair{source, content};
      dropped = std::exchange(
          pending_, make_object<Frame>(make_source_texture(core_, source, size_.Width,
                                                           size_.Height, pixel_format_),
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
  void raise_frame_arrived() {
    std::vector<ComPtr<abi::IFrameArrivedHandler>> handlers;
    {
      const std::lock_guard lock(mutex_);
      raise_posted_ = false;
      if (closed_) {
        return;
      }
      handlers.reserve(handlers_.size());
      for (const auto& registered : handlers_) {
        handlers.push_back(registered.second);
      }
    }
    for (const auto& handler : handlers) {
      handler->Invoke(this, nullptr);
    }
  }

  const DWORD thread_id_;
  std::mutex mutex_;
  ComPtr<abi::IDirect3DDevice> device_;
  std::shared_ptr<DeviceCore> core_;
  std::int32_t pixel_format_;
  SizeInt32 size_;
  bool closed_ = false;
  bool raise_posted_ = false;
  ComPtr<Frame> pending_;
  std::optional<std::pair<CaptureSource, SizeInt32>> last_;
  std::int64_t last_token_ = 0;
  std::vector<std::pair<std::int64_t, ComPtr<abi::IFrameArrivedHandler>>> handlers_;
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
  static std::unique_ptr<Watch> start(ComPtr<Pool> pool, const Item& item) {
    std::shared_ptr<Connection> c = Connection::open();
    if (!c) {
      return nullptr;
    }
    return std::unique_ptr<Watch>(new Watch(std::move(c), std::move(pool), item));
  }

  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;
  ~Watch() = default;

  SizeInt32 content() const noexcept { return content_; }

 private:
  Watch(std::shared_ptr<Connection> c, ComPtr<Pool> pool, const Item& item)
      : c_(std::move(c)),
        pool_(std::move(pool)),
        source_of_(item.source()),
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

class Session final
    : public InspectableObject<Session, abi::IGraphicsCaptureSession, abi::IClosable> {
 public:
  static constexpr std::string_view kKind = "session";

  Session(ComPtr<Pool> pool, ComPtr<Item> item) : pool_(std::move(pool)), item_(std::move(item)) {}

  void* find_interface(const GUID& iid) noexcept {
    if (iid == abi::IID_IUnknown || iid == abi::IID_IInspectable ||
        iid == abi::IID_IGraphicsCaptureSession) {
      return static_cast<abi::IGraphicsCaptureSession*>(this);
    }
    if (iid == abi::IID_IClosable) {
      return static_cast<abi::IClosable*>(this);
    }
    return nullptr;
  }

  // The first frame shows the target as it is when the capture starts.
  HRESULT LUMIGRAB_STDCALL StartCapture() override {
    SizeInt32 content{};
    {
      const std::lock_guard lock(mutex_);
      if (closed_ || watch_) {
        return closed_ ? win::RO_E_CLOSED_ : posix::kIllegalMethodCall;
      }
      watch_ = Watch::start(pool_, *item_.get());
      if (!watch_) {
        return win::E_FAIL_;
      }
      content = watch_->content();
    }
    pool_->deliver(item_->source(), content);
    return win::S_OK_;
  }

  HRESULT LUMIGRAB_STDCALL Close() override {
    std::unique_ptr<Watch> ended;
    const std::lock_guard lock(mutex_);
    closed_ = true;
    ended.swap(watch_);
    return win::S_OK_;
  }

 private:
  const ComPtr<Pool> pool_;
  const ComPtr<Item> item_;
  std::mutex mutex_;
  bool closed_ = false;
  std::unique_ptr<Watch> watch_;
};

HRESULT LUMIGRAB_STDCALL Pool::CreateCaptureSession(abi::IGraphicsCaptureItem* item,
                                                    abi::IGraphicsCaptureSession** result) {
  if (result == nullptr) {
    return win::E_POINTER_;
  }
  *result = nullptr;
  auto* ours = dynamic_cast<Item*>(item);
  if (ours == nullptr) {
    return win::E_INVALIDARG_;
  }
  {
    const std::lock_guard lock(mutex_);
    if (closed_) {
      return win::RO_E_CLOSED_;
    }
  }
  return hand_out(make_object<Session>(ComPtr<Pool>::copy(this), ComPtr<Item>::copy(ours)),
                  result);
}

class ItemFactory final : public InspectableObject<ItemFactory, abi::IActivationFactory,
                                                   abi::IGraphicsCaptureItemInterop> {
 public:
  static constexpr std::string_view kKind = "interop_factory";

  void* find_interface(const GUID& iid) noexcept {
    if (iid == abi::IID_IUnknown || iid == abi::IID_IInspectable ||
        iid == abi::IID_IActivationFactory) {
      return static_cast<abi::IActivationFactory*>(this);
    }
    if (iid == abi::IID_IGraphicsCaptureItemInterop) {
      return static_cast<abi::IGraphicsCaptureItemInterop*>(this);
    }
    return nullptr;
  }

  HRESULT LUMIGRAB_STDCALL ActivateInstance(abi::IInspectable** instance) override {
    if (instance != nullptr) {
      *instance = nullptr;
    }
    return win::E_NOTIMPL_;
  }

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
    return make_object<Item>(CaptureSource{id, 0, 0}, true, SizeInt32{size->first, size->second})
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
    return make_object<Item>(CaptureSource{c->root(), found->x, found->y}, false,
                             SizeInt32{found->width, found->height})
        ->QueryInterface(iid, result);
  }
};

class PoolStatics final
    : public InspectableObject<PoolStatics, abi::IActivationFactory,
                               abi::IDirect3D11CaptureFramePoolStatics, abi::IAgileObject> {
 public:
  static constexpr std::string_view kKind = "statics";

  void* find_interface(const GUID& iid) noexcept {
    if (iid == abi::IID_IUnknown || iid == abi::IID_IInspectable ||
        iid == abi::IID_IActivationFactory) {
      return static_cast<abi::IActivationFactory*>(this);
    }
    if (iid == abi::IID_IDirect3D11CaptureFramePoolStatics) {
      return static_cast<abi::IDirect3D11CaptureFramePoolStatics*>(this);
    }
    if (iid == abi::IID_IAgileObject) {
      return static_cast<abi::IAgileObject*>(this);
    }
    return nullptr;
  }

  HRESULT LUMIGRAB_STDCALL ActivateInstance(abi::IInspectable** instance) override {
    if (instance != nullptr) {
      *instance = nullptr;
    }
    return win::E_NOTIMPL_;
  }

  HRESULT LUMIGRAB_STDCALL Create(abi::IDirect3DDevice* device, std::int32_t pixel_format,
                                  std::int32_t number_of_buffers, SizeInt32 size,
                                  abi::IDirect3D11CaptureFramePool** result) override {
    if (result == nullptr) {
      return win::E_POINTER_;
    }
    *result = nullptr;
    std::shared_ptr<DeviceCore> core = device_core(device);
    if (!core || !is_capture_format(pixel_format) || number_of_buffers < 1 || size.Width < 1 ||
        size.Height < 1) {
      return win::E_INVALIDARG_;
    }
    // FrameArrived needs the creating thread's dispatcher queue.
    const DWORD thread_id = posix::current_thread_id();
    if (!posix::thread_has_dispatcher_queue(thread_id)) {
      return posix::kRpcWrongThread;
    }
    return hand_out(make_object<Pool>(thread_id, ComPtr<abi::IDirect3DDevice>::copy(device),
                                      std::move(core), pixel_format, size),
                    result);
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
