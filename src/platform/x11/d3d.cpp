// The X11 backend's Direct3D 11 device: device creation, and textures,
// which the shared immediate context copies and maps.
//
// A frame's texture stands for a rectangle of the captured drawable and holds
// no pixels. CopyResource into a staging texture asks for that rectangle with
// MIT-SHM GetImage requests into the staging texture's shared-memory segment;
// Map hands out that segment, and CopyMappedRows takes the answers band by
// band and turns each into R, G, B, A straight into the caller's rows.
// Segments go back to the device when their texture is released, so that the
// next read-back writes into memory that is already mapped.
#include "platform/x11/d3d.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/mman.h>
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
    drop_pending();
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

  // Asks the server for `from`'s rectangle, as a GPU copy is queued: the
  // pixels are taken, band by band, when the rows are copied out of the
  // mapped texture, so that each band is converted while the server writes
  // the next. A read the server cannot serve (it went away or stopped
  // answering, or the rectangle is no longer there) leaves the texture
  // unreadable until the next read, as on a device that was removed.
  void read(const CaptureSource& from) {
    const std::lock_guard lock(mutex_);
    drop_pending();
    pointer_.reset();
    from_ = from;
    const Connection& c = core_->connection();
    storage();
    readable_ = !c.broken();
    if (!readable_) {
      return;
    }
    const std::uint32_t server_row_bytes = from.layout.row_bytes(desc_.Width);
    // Without shared memory the image comes through the connection itself,
    // in one piece.
    const std::uint32_t band_rows =
        segment_ ? std::max<std::uint32_t>(1, kBandBytes / server_row_bytes) : desc_.Height;
    for (std::uint32_t top = 0; top < desc_.Height; top += band_rows) {
      const std::uint32_t rows = std::min(band_rows, desc_.Height - top);
      const auto y = static_cast<std::int16_t>(from.y + static_cast<std::int32_t>(top));
      const auto width = static_cast<std::uint16_t>(desc_.Width);
      const unsigned int sequence =
          segment_ ? xcb_shm_get_image(c.get(), from.drawable, from.x, y, width,
                                       static_cast<std::uint16_t>(rows), ~0U,
                                       XCB_IMAGE_FORMAT_Z_PIXMAP, segment_->id(),
                                       top * server_row_bytes)
                         .sequence
                   : xcb_get_image(c.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, from.drawable, from.x, y,
                                   width, static_cast<std::uint16_t>(rows), ~0U)
                         .sequence;
      bands_.push_back(Band{sequence, top, rows});
    }
    if (from.cursor && c.has_xfixes()) {
      pointer_asked_ = {xcb_xfixes_get_cursor_image(c.get()).sequence,
                        xcb_query_pointer(c.get(), from.window).sequence};
    }
    xcb_flush(c.get());
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

  // Copies the first `rows` rows, `width` pixels of each, into `to` as R, G,
  // B, A, waiting for the bands of the last read that have not come yet.
  HRESULT copy_rows(UINT rows, UINT width, std::uint8_t* to, std::size_t to_pitch) {
    const std::lock_guard lock(mutex_);
    if (!mapped_ || rows > desc_.Height || width > desc_.Width) {
      return win::E_INVALIDARG_;
    }
    if (!readable_) {
      return kDeviceRemoved;
    }
    const Connection& c = core_->connection();
    const std::uint8_t* pixels = storage();
    const std::size_t server_row_bytes = from_.layout.row_bytes(desc_.Width);
    prepare_destination(to, std::size_t{rows} * to_pitch);
    for (std::size_t i = 0; i < bands_.size(); ++i) {
      const Band& band = bands_[i];
      if (i >= taken_) {
        taken_ = i + 1;
        if (!take(c, band, server_row_bytes)) {
          readable_ = false;
          drop_pending();
          return kDeviceRemoved;
        }
      }
      if (band.top < rows) {
        server_pixels_to_rgba(pixels + band.top * server_row_bytes, server_row_bytes,
                              std::min(band.rows, rows - band.top), width, from_.layout,
                              c.lsb_first(), to + band.top * to_pitch, to_pitch);
      }
    }
    if (pointer_asked_) {
      take_pointer(c);
    }
    if (pointer_) {
      compose_pointer(to, static_cast<std::uint32_t>(to_pitch), width, rows, pointer_->argb.data(),
                      pointer_->width, pointer_->height, pointer_->left, pointer_->top);
    }
    return win::S_OK_;
  }

 private:
  // Rows [top, top + rows) of a read, asked for in one request.
  struct Band {
    unsigned int sequence;
    std::uint32_t top;
    std::uint32_t rows;
  };

  // The pointer's image, premultiplied A, R, G, B words, and where its
  // top-left corner falls in the texture.
  struct Pointer {
    std::vector<std::uint32_t> argb;
    std::uint32_t width;
    std::uint32_t height;
    std::int64_t left;
    std::int64_t top;
  };

  // Takes the answer to `band`: with shared memory the server has written the
  // rows into the segment; otherwise they come with the answer and are put
  // where the segment would hold them.
  bool take(const Connection& c, const Band& band, std::size_t server_row_bytes) {
    const std::size_t bytes = std::size_t{band.rows} * server_row_bytes;
    if (segment_) {
      auto image = reply(c, xcb_shm_get_image_cookie_t{band.sequence}, xcb_shm_get_image_reply);
      return image && image->size == bytes;
    }
    auto image = reply(c, xcb_get_image_cookie_t{band.sequence}, xcb_get_image_reply);
    if (!image || static_cast<std::size_t>(xcb_get_image_data_length(image.get())) != bytes) {
      return false;
    }
    std::memcpy(heap_.get() + band.top * server_row_bytes, xcb_get_image_data(image.get()), bytes);
    return true;
  }

  // The pointer as XFIXES shows it, where it was at the read. A pointer on
  // another screen draws nothing.
  void take_pointer(const Connection& c) {
    const auto [image_sequence, position_sequence] = *std::exchange(pointer_asked_, std::nullopt);
    auto image = reply(c, xcb_xfixes_get_cursor_image_cookie_t{image_sequence},
                       xcb_xfixes_get_cursor_image_reply);
    auto pointer = reply(c, xcb_query_pointer_cookie_t{position_sequence}, xcb_query_pointer_reply);
    if (!image || !pointer || pointer->same_screen == 0 ||
        xcb_xfixes_get_cursor_image_cursor_image_length(image.get()) <
            static_cast<int>(image->width) * image->height) {
      return;
    }
    const std::uint32_t* argb = xcb_xfixes_get_cursor_image_cursor_image(image.get());
    pointer_ = Pointer{
        std::vector<std::uint32_t>(argb, argb + std::size_t{image->width} * image->height),
        image->width, image->height,
        std::int64_t{pointer->win_x} + from_.window_x - image->xhot - from_.x,
        std::int64_t{pointer->win_y} + from_.window_y - image->yhot - from_.y};
  }

  // A large destination is usually new memory that NumPy just mapped, whose
  // pages fault in one by one as the rows are written. Asked for huge pages,
  // the system faults them in 2 MiB at a time. Only whole huge pages inside
  // the destination are advised, and only as a hint: nothing else changes.
  static void prepare_destination(std::uint8_t* to, std::size_t bytes) noexcept {
    constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;
    const auto start = reinterpret_cast<std::uintptr_t>(to);
    const std::uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t end = (start + bytes) & ~(kHugePage - 1);
    if (end > first) {
      madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
    }
  }

  // Lets go of the answers of a read that were not taken, so that none stays
  // queued on the connection.
  void drop_pending() noexcept {
    const Connection& c = core_->connection();
    if (!c.broken()) {
      for (std::size_t i = taken_; i < bands_.size(); ++i) {
        xcb_discard_reply(c.get(), bands_[i].sequence);
      }
      if (pointer_asked_) {
        xcb_discard_reply(c.get(), pointer_asked_->first);
        xcb_discard_reply(c.get(), pointer_asked_->second);
      }
    }
    bands_.clear();
    taken_ = 0;
    pointer_asked_.reset();
  }

  // The texture's memory, made on first use: big enough for R, G, B, A, and
  // so for any layout the server sends. Call with the mutex held.
  std::uint8_t* storage() {
    const std::size_t bytes = std::size_t{desc_.Width} * desc_.Height * 4;
    if (!segment_ && !heap_) {
      segment_ = core_->take_segment(bytes);
      if (!segment_) {
        heap_ = std::make_unique_for_overwrite<std::uint8_t[]>(bytes);
      }
    }
    return segment_ ? segment_->data() : heap_.get();
  }

  const std::shared_ptr<DeviceCore> core_;
  const std::optional<CaptureSource> source_;
  std::mutex mutex_;
  std::unique_ptr<ShmSegment> segment_;
  std::unique_ptr<std::uint8_t[]> heap_;  // where the server offers no shared memory
  bool mapped_ = false;
  bool readable_ = true;  // false after a read that failed
  // The last read: what it read, what it asked for, how many bands of it have
  // been taken, and the pointer it shows.
  CaptureSource from_;
  std::vector<Band> bands_;
  std::size_t taken_ = 0;
  std::optional<std::pair<unsigned int, unsigned int>> pointer_asked_;
  std::optional<Pointer> pointer_;
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

namespace lumigrab::platform {

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

HRESULT CopyMappedRows(abi::ID3D11Texture2D* staging, const abi::D3D11_MAPPED_SUBRESOURCE& /*mapped*/,
                       UINT rows, UINT width, std::uint8_t* destination,
                       std::size_t destination_pitch) {
  auto* texture = dynamic_cast<x11::Texture*>(staging);
  if (texture == nullptr) {
    return win::E_INVALIDARG_;
  }
  return texture->copy_rows(rows, width, destination, destination_pitch);
}

}  // namespace lumigrab::platform
