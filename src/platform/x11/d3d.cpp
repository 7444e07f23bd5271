// The X11 backend's Direct3D 11 device: device creation, and textures,
// which the shared immediate context copies and maps.
//
// A frame's texture stands for a rectangle of the captured drawable and holds
// no pixels. CopyResource into a staging texture reads that rectangle with
// one MIT-SHM GetImage into the staging texture's shared-memory segment and
// turns it into R, G, B, A there; Map then hands out that segment as it is.
// Segments go back to the device when their texture is released, so that the
// next read-back writes into memory that is already mapped.
#include "platform/x11/d3d.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/d3d_objects.h"
#include "platform/posix/objects.h"
#include "platform/x11/connection.h"

namespace lumigrab::x11 {

using namespace lumigrab::win;  // NOLINT(google-build-using-namespace)
using abi::D3D11_MAPPED_SUBRESOURCE;
using abi::D3D11_TEXTURE2D_DESC;
using posix::make_object;

namespace {

constexpr HRESULT kDxgiUnsupported = static_cast<HRESULT>(0x887A0004U);
constexpr HRESULT kDeviceRemoved = static_cast<HRESULT>(0x887A0005U);  // DXGI_ERROR_DEVICE_REMOVED
// Segments a device keeps for reuse: one for the read-back in progress, one
// for a caller that holds on to a texture.
constexpr std::size_t kKeptSegments = 2;
// Bytes of one band of a read-back: well inside a core's L2 cache.
constexpr std::uint32_t kBandBytes = 256 * 1024;

// A System V shared-memory segment attached here and by the X server.
class ShmSegment {
 public:
  static std::unique_ptr<ShmSegment> create(std::shared_ptr<Connection> c, std::size_t size) {
    const int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (id < 0) {
      return nullptr;
    }
    std::unique_ptr<ShmSegment> made(new ShmSegment(std::move(c), id, size));
    return made->attached_ ? std::move(made) : nullptr;
  }

  ShmSegment(const ShmSegment&) = delete;
  ShmSegment& operator=(const ShmSegment&) = delete;
  ~ShmSegment() {
    if (attached_ && !c_->broken()) {
      xcb_shm_detach(c_->get(), seg_);
      xcb_flush(c_->get());
    }
    if (data_ != nullptr) {
      shmdt(data_);
    }
  }

  std::uint8_t* data() const noexcept { return static_cast<std::uint8_t*>(data_); }
  std::size_t size() const noexcept { return size_; }
  xcb_shm_seg_t id() const noexcept { return seg_; }

 private:
  ShmSegment(std::shared_ptr<Connection> c, int id, std::size_t size)
      : c_(std::move(c)), size_(size), seg_(c_->new_id()) {
    void* data = shmat(id, nullptr, 0);
    if (data != reinterpret_cast<void*>(-1)) {
      data_ = data;
      attached_ =
          c_->check(xcb_shm_attach_checked(c_->get(), seg_, static_cast<std::uint32_t>(id), 0));
    }
    // Marked for removal once both sides have attached: the segment then goes
    // away with the last detach, even if this process dies.
    shmctl(id, IPC_RMID, nullptr);
  }

  std::shared_ptr<Connection> c_;
  std::size_t size_;
  xcb_shm_seg_t seg_;
  void* data_ = nullptr;
  bool attached_ = false;
};

}  // namespace

class DeviceCore {
 public:
  explicit DeviceCore(std::shared_ptr<Connection> c) : c_(std::move(c)) {}

  const Connection& connection() const noexcept { return *c_; }

  // A segment of `size` bytes: a kept one when there is one.
  std::unique_ptr<ShmSegment> take_segment(std::size_t size) {
    if (!c_->has_shm()) {
      return nullptr;
    }
    {
      const std::lock_guard lock(mutex_);
      for (auto it = kept_.rbegin(); it != kept_.rend(); ++it) {
        if ((*it)->size() == size) {
          std::unique_ptr<ShmSegment> found = std::move(*it);
          kept_.erase(std::next(it).base());
          return found;
        }
      }
    }
    return ShmSegment::create(c_, size);
  }

  void give_back(std::unique_ptr<ShmSegment> segment) {
    // The oldest one goes, after the lock.
    std::vector<std::unique_ptr<ShmSegment>> evicted;
    const std::lock_guard lock(mutex_);
    kept_.push_back(std::move(segment));
    if (kept_.size() > kKeptSegments) {
      evicted.swap(kept_);
      kept_.assign(std::make_move_iterator(evicted.end() - kKeptSegments),
                   std::make_move_iterator(evicted.end()));
    }
  }

 private:
  const std::shared_ptr<Connection> c_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<ShmSegment>> kept_;  // most recently given back last
};

namespace {

class Texture final : public posix::Texture2D {
 public:
  Texture(const D3D11_TEXTURE2D_DESC& desc, std::shared_ptr<DeviceCore> core,
          std::optional<CaptureSource> source)
      : Texture2D(desc), core_(std::move(core)), source_(source) {}
  Texture(const Texture&) = delete;
  Texture& operator=(const Texture&) = delete;
  ~Texture() override {
    if (segment_) {
      core_->give_back(std::move(segment_));
    }
  }

  const std::optional<CaptureSource>& source() const noexcept { return source_; }

  // A copy from a frame's texture into a staging one reads the frame's
  // rectangle; any other copy does nothing.
  void copy_from(const Texture& from) {
    if (from.source() && desc_.Usage == abi::D3D11_USAGE_STAGING) {
      read(*from.source());
    }
  }

  // A copy of a box of a frame's texture that fills a whole staging texture
  // reads only that rectangle of the drawable. Copies into part of a staging
  // texture are not needed by the module and do nothing here.
  void copy_region_from(const Texture& from, UINT x, UINT y, const abi::D3D11_BOX& box) {
    if (!from.source() || desc_.Usage != abi::D3D11_USAGE_STAGING || x != 0 || y != 0 ||
        box.right - box.left != desc_.Width || box.bottom - box.top != desc_.Height) {
      return;
    }
    CaptureSource part = *from.source();
    part.x = static_cast<std::int16_t>(part.x + static_cast<std::int32_t>(box.left));
    part.y = static_cast<std::int16_t>(part.y + static_cast<std::int32_t>(box.top));
    read(part);
  }

  // Reads `from`'s rectangle from the server into this texture's memory, as
  // R, G, B, A. A read that fails (the server went away or stopped answering,
  // or the rectangle is no longer there) leaves the texture unreadable until
  // the next read: Map then fails, as on a device that was removed.
  void read(const CaptureSource& from) {
    const std::lock_guard lock(mutex_);
    std::uint8_t* pixels = storage();
    const Connection& c = core_->connection();
    readable_ = segment_ ? read_in_bands(c, from, pixels) : read_whole(c, from, pixels);
    if (readable_ && from.cursor) {
      draw_pointer(c, from, pixels);
    }
  }

  // The pointer as XFIXES shows it, where it is now. A pointer on another
  // screen, or a server without XFIXES, draws nothing.
  void draw_pointer(const Connection& c, const CaptureSource& from, std::uint8_t* pixels) {
    if (!c.has_xfixes()) {
      return;
    }
    const auto image_cookie = xcb_xfixes_get_cursor_image(c.get());
    const auto pointer_cookie = xcb_query_pointer(c.get(), from.window);
    auto image = reply(c, image_cookie, xcb_xfixes_get_cursor_image_reply);
    auto pointer = reply(c, pointer_cookie, xcb_query_pointer_reply);
    if (!image || !pointer || pointer->same_screen == 0 ||
        xcb_xfixes_get_cursor_image_cursor_image_length(image.get()) <
            static_cast<int>(image->width) * image->height) {
      return;
    }
    compose_pointer(pixels, desc_.Width * 4, desc_.Width, desc_.Height,
                    xcb_xfixes_get_cursor_image_cursor_image(image.get()), image->width,
                    image->height,
                    std::int64_t{pointer->win_x} + from.window_x - image->xhot - from.x,
                    std::int64_t{pointer->win_y} + from.window_y - image->yhot - from.y);
  }

  // The rectangle comes in bands that fit the cache, all asked for at once:
  // each band is turned into R, G, B, A while it is still in the cache and
  // while the server writes the next one.
  bool read_in_bands(const Connection& c, const CaptureSource& from, std::uint8_t* pixels) {
    const std::uint32_t row_bytes = desc_.Width * 4;
    const std::uint32_t server_row_bytes = from.layout.row_bytes(desc_.Width);
    const std::uint32_t band_rows = std::max<std::uint32_t>(1, kBandBytes / row_bytes);
    std::vector<std::pair<xcb_shm_get_image_cookie_t, std::uint32_t>> bands;
    bands.reserve(desc_.Height / band_rows + 1);
    for (std::uint32_t top = 0; top < desc_.Height; top += band_rows) {
      const std::uint32_t rows = std::min(band_rows, desc_.Height - top);
      // Each band lands where its R, G, B, A rows go; narrower pixels are
      // widened in place.
      bands.emplace_back(
          xcb_shm_get_image(c.get(), from.drawable, static_cast<std::int16_t>(from.x),
                            static_cast<std::int16_t>(from.y + static_cast<std::int32_t>(top)),
                            static_cast<std::uint16_t>(desc_.Width),
                            static_cast<std::uint16_t>(rows), ~0U, XCB_IMAGE_FORMAT_Z_PIXMAP,
                            segment_->id(), top * row_bytes),
          rows);
    }
    bool read = true;
    std::uint8_t* band = pixels;
    for (const auto& [cookie, rows] : bands) {
      // Every reply is taken, also after a failure, so none is left queued.
      auto image = read ? reply(c, cookie, xcb_shm_get_image_reply) : nullptr;
      if (read && image && image->size == std::size_t{rows} * server_row_bytes) {
        server_pixels_to_rgba(band, rows, desc_.Width, from.layout, c.lsb_first());
      } else {
        read = false;
        if (!c.broken()) {
          xcb_discard_reply(c.get(), cookie.sequence);
        }
      }
      band += std::size_t{rows} * row_bytes;
    }
    return read;
  }

  // Without shared memory the image comes through the connection itself.
  bool read_whole(const Connection& c, const CaptureSource& from, std::uint8_t* pixels) {
    const std::size_t bytes = std::size_t{from.layout.row_bytes(desc_.Width)} * desc_.Height;
    auto image = reply(c,
                       xcb_get_image(c.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, from.drawable, from.x,
                                     from.y, static_cast<std::uint16_t>(desc_.Width),
                                     static_cast<std::uint16_t>(desc_.Height), ~0U),
                       xcb_get_image_reply);
    if (!image || static_cast<std::size_t>(xcb_get_image_data_length(image.get())) != bytes) {
      return false;
    }
    std::memcpy(pixels, xcb_get_image_data(image.get()), bytes);
    server_pixels_to_rgba(pixels, desc_.Height, desc_.Width, from.layout, c.lsb_first());
    return true;
  }

  HRESULT map(std::int32_t map_type, UINT flags, D3D11_MAPPED_SUBRESOURCE* mapped) {
    if (!posix::can_map(desc_, map_type, flags)) {
      return win::E_INVALIDARG_;
    }
    const std::lock_guard lock(mutex_);
    if (mapped_) {
      return win::E_INVALIDARG_;
    }
    if (!readable_) {
      return kDeviceRemoved;
    }
    mapped_ = true;
    mapped->pData = storage();
    mapped->RowPitch = desc_.Width * 4;
    mapped->DepthPitch = mapped->RowPitch * desc_.Height;
    return win::S_OK_;
  }

  void unmap() {
    const std::lock_guard lock(mutex_);
    mapped_ = false;
  }

 private:
  // The texture's memory, made on first use. Call with the mutex held.
  std::uint8_t* storage() {
    const std::size_t bytes = std::size_t{desc_.Width} * desc_.Height * 4;
    if (!segment_ && heap_.empty()) {
      segment_ = core_->take_segment(bytes);
      if (!segment_) {
        heap_.resize(bytes);
      }
    }
    return segment_ ? segment_->data() : heap_.data();
  }

  const std::shared_ptr<DeviceCore> core_;
  const std::optional<CaptureSource> source_;
  std::mutex mutex_;
  std::unique_ptr<ShmSegment> segment_;
  std::vector<std::uint8_t> heap_;  // where the server offers no shared memory
  bool mapped_ = false;
  bool readable_ = true;  // false after a read that failed
};

class Device final : public posix::D3DDevice {
 public:
  explicit Device(std::shared_ptr<DeviceCore> core) : core_(std::move(core)) {}

  const std::shared_ptr<DeviceCore>& core() const noexcept { return core_; }

 private:
  // Pixel requests carry 16-bit sizes.
  bool supports(const D3D11_TEXTURE2D_DESC& desc) const override {
    return desc.Width <= 0x7FFF && desc.Height <= 0x7FFF && posix::is_supported(desc);
  }

  ComPtr<abi::ID3D11Texture2D> new_texture(const D3D11_TEXTURE2D_DESC& desc) override {
    return posix::upcast<abi::ID3D11Texture2D>(make_object<Texture>(desc, core_, std::nullopt));
  }

  const std::shared_ptr<DeviceCore> core_;
};

using Direct3DDevice = posix::Direct3DDevice<Device>;
using DeviceContext = posix::DeviceContext<Texture>;

}  // namespace

void compose_pointer(std::uint8_t* pixels, std::uint32_t row_bytes, std::uint32_t columns,
                     std::uint32_t rows, const std::uint32_t* argb, std::uint32_t width,
                     std::uint32_t height, std::int64_t left, std::int64_t top) noexcept {
  const std::int64_t first_x = std::max<std::int64_t>(0, -left);
  const std::int64_t first_y = std::max<std::int64_t>(0, -top);
  const std::int64_t end_x = std::min<std::int64_t>(width, std::int64_t{columns} - left);
  const std::int64_t end_y = std::min<std::int64_t>(height, std::int64_t{rows} - top);
  for (std::int64_t y = first_y; y < end_y; ++y) {
    std::uint8_t* row = pixels + static_cast<std::size_t>(top + y) * row_bytes;
    for (std::int64_t x = first_x; x < end_x; ++x) {
      const std::uint32_t word = argb[static_cast<std::size_t>(y * width + x)];
      const std::uint32_t alpha = word >> 24;
      if (alpha == 0) {
        continue;
      }
      std::uint8_t* pixel = row + static_cast<std::size_t>(left + x) * 4;
      // Premultiplied: the image's colour plus what shows through.
      const std::uint32_t keep = 255 - alpha;
      const std::uint32_t colour[3] = {(word >> 16) & 0xFF, (word >> 8) & 0xFF, word & 0xFF};
      for (int channel = 0; channel < 3; ++channel) {
        const std::uint32_t value = colour[channel] + (pixel[channel] * keep + 127) / 255;
        pixel[channel] = static_cast<std::uint8_t>(std::min<std::uint32_t>(value, 255));
      }
    }
  }
}

std::shared_ptr<DeviceCore> device_core(abi::IDirect3DDevice* device) noexcept {
  auto* ours = dynamic_cast<Direct3DDevice*>(device);
  return ours == nullptr ? nullptr : ours->device().core();
}

ComPtr<abi::ID3D11Texture2D> make_source_texture(std::shared_ptr<DeviceCore> core,
                                                 CaptureSource source, std::int32_t width,
                                                 std::int32_t height, std::int32_t pixel_format) {
  return ComPtr<abi::ID3D11Texture2D>::attach(
      make_object<Texture>(posix::frame_texture_desc(width, height, pixel_format), std::move(core),
                           source)
          .detach());
}

}  // namespace lumigrab::x11

namespace lumigrab::platform::with_x11 {

HRESULT D3D11CreateDevice(void* adapter, std::int32_t driver_type, HMODULE /*software*/,
                          UINT /*flags*/, const abi::D3D_FEATURE_LEVEL* feature_levels,
                          UINT feature_level_count, UINT sdk_version, abi::ID3D11Device** device,
                          abi::D3D_FEATURE_LEVEL* obtained_level,
                          abi::ID3D11DeviceContext** immediate_context) {
  if (device != nullptr) {
    *device = nullptr;
  }
  if (immediate_context != nullptr) {
    *immediate_context = nullptr;
  }
  if (sdk_version != abi::D3D11_SDK_VERSION ||
      (feature_levels != nullptr) != (feature_level_count != 0) ||
      (adapter == nullptr && driver_type != abi::D3D_DRIVER_TYPE_HARDWARE)) {
    return win::E_INVALIDARG_;
  }
  // Everything this device does, it does on the CPU: it offers the highest
  // level asked for.
  abi::D3D_FEATURE_LEVEL obtained = abi::D3D_FEATURE_LEVEL_11_0;
  if (feature_levels != nullptr) {
    obtained = abi::D3D_FEATURE_LEVEL_9_1;
    for (UINT i = 0; i < feature_level_count; ++i) {
      obtained = std::max(obtained, std::min(feature_levels[i], abi::D3D_FEATURE_LEVEL_11_1));
    }
  }
  std::shared_ptr<x11::Connection> connection = x11::Connection::open();
  if (!connection) {
    return x11::kDxgiUnsupported;
  }
  if (obtained_level != nullptr) {
    *obtained_level = obtained;
  }
  auto core = std::make_shared<x11::DeviceCore>(std::move(connection));
  if (device != nullptr) {
    posix::hand_out(posix::make_object<x11::Device>(core), device);
  }
  if (immediate_context != nullptr) {
    posix::hand_out(posix::make_object<x11::DeviceContext>(), immediate_context);
  }
  return device == nullptr && immediate_context == nullptr ? win::S_FALSE_ : win::S_OK_;
}

HRESULT CreateDirect3D11DeviceFromDXGIDevice(abi::IDXGIDevice* dxgi_device,
                                             abi::IInspectable** graphics_device) {
  return posix::wrap_device<x11::Device>(dxgi_device, graphics_device);
}

}  // namespace lumigrab::platform
