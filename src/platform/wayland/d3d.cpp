// The Wayland backend's Direct3D 11 device, which lives on the CPU. A
// frame's texture stands for a shared-memory buffer the compositor filled;
// CopyResource into a staging texture turns it (or, from
// CopySubresourceRegion, a rectangle of it) into R, G, B, A rows in one pass,
// and Map hands those out.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "platform/linux/operations.h"
#include "platform/posix/d3d_objects.h"
#include "platform/posix/objects.h"
#include "platform/wayland/client.h"
#include "platform/wayland/pixels.h"
#include "platform/wayland/wayland_internal.h"

namespace lumigrab::wayland {

using abi::D3D11_MAPPED_SUBRESOURCE;
using abi::D3D11_TEXTURE2D_DESC;
using posix::make_object;

namespace {

constexpr HRESULT kDxgiUnsupported = static_cast<HRESULT>(0x887A0004U);  // DXGI_ERROR_UNSUPPORTED
constexpr HRESULT kDeviceRemoved = static_cast<HRESULT>(0x887A0005U);  // DXGI_ERROR_DEVICE_REMOVED

using Lanes = std::uint32_t __attribute__((vector_size(16)));
constexpr std::size_t kLanes = sizeof(Lanes) / sizeof(std::uint32_t);

// B, G, R, X in memory is 0xXXRRGGBB as a little-endian word (the wl_shm
// formats ARGB8888 and XRGB8888); R, G, B, A is 0xAABBGGRR.
template <typename Word>
Word from_bgrx(Word p) {
  return ((p >> 16) & 0xFFU) | (p & 0xFF00U) | ((p & 0xFFU) << 16) | 0xFF000000U;
}
// R, G, B, X in memory (XBGR8888 and ABGR8888) only needs its A.
template <typename Word>
Word from_rgbx(Word p) {
  return p | 0xFF000000U;
}

template <typename Word>
Word converted(Word p, bool swap) {
  return swap ? from_bgrx(p) : from_rgbx(p);
}

}  // namespace

bool is_readable_format(std::uint32_t format) noexcept {
  return format == wl::kShmArgb8888 || format == wl::kShmXrgb8888 ||
         format == wl::kShmXbgr8888 || format == wl::kShmAbgr8888;
}

void convert_row(const std::uint8_t* from, std::uint8_t* to, std::size_t count,
                 std::uint32_t format) noexcept {
  const bool swap = format == wl::kShmArgb8888 || format == wl::kShmXrgb8888;
  std::size_t i = 0;
  for (; i + kLanes <= count; i += kLanes) {
    Lanes block;
    std::memcpy(&block, from + i * 4, sizeof block);
    block = converted(block, swap);
    std::memcpy(to + i * 4, &block, sizeof block);
  }
  for (; i < count; ++i) {
    std::uint32_t p;
    std::memcpy(&p, from + i * 4, sizeof p);
    p = converted(p, swap);
    std::memcpy(to + i * 4, &p, sizeof p);
  }
}

// --- pixels ---

std::shared_ptr<Pixels> Pixels::create(std::uint32_t width, std::uint32_t height,
                                       std::uint32_t stride, std::uint32_t format,
                                       std::shared_ptr<const std::atomic<bool>> alive) {
  const std::size_t size = std::size_t{stride} * height;
  if (size == 0 || stride < std::size_t{width} * 4) {
    return nullptr;
  }
  const int fd = memfd_create("lumigrab-frame", MFD_CLOEXEC);
  if (fd < 0) {
    return nullptr;
  }
  if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
    close(fd);
    return nullptr;
  }
  void* const data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) {
    close(fd);
    return nullptr;
  }
  return std::shared_ptr<Pixels>(new Pixels(fd, static_cast<std::uint8_t*>(data), size, width,
                                            height, stride, format, std::move(alive)));
}

Pixels::Pixels(int fd, std::uint8_t* data, std::size_t size, std::uint32_t width,
               std::uint32_t height, std::uint32_t stride, std::uint32_t format,
               std::shared_ptr<const std::atomic<bool>> alive)
    : fd_(fd),
      data_(data),
      size_(size),
      width_(width),
      height_(height),
      stride_(stride),
      format_(format),
      alive_(std::move(alive)) {}

Pixels::~Pixels() {
  munmap(data_, size_);
  close(fd_);
}

namespace {

// Blocks of texture memory a device keeps for reuse: a read-back then writes
// into memory that is already mapped in, rather than into fresh pages that
// fault one by one.
class Blocks {
 public:
  using Block = std::unique_ptr<std::uint8_t[]>;

  // A block of `size` bytes, of unspecified contents.
  Block take(std::size_t size) {
    {
      const std::lock_guard lock(mutex_);
      for (auto it = kept_.rbegin(); it != kept_.rend(); ++it) {
        if (it->second == size) {
          Block found = std::move(it->first);
          kept_.erase(std::next(it).base());
          return found;
        }
      }
    }
    return std::make_unique_for_overwrite<std::uint8_t[]>(size);
  }

  void give_back(Block block, std::size_t size) {
    // The oldest one goes, after the lock.
    std::vector<std::pair<Block, std::size_t>> evicted;
    const std::lock_guard lock(mutex_);
    kept_.emplace_back(std::move(block), size);
    if (kept_.size() > kKept) {
      evicted.swap(kept_);
      kept_.assign(std::make_move_iterator(evicted.end() - kKept),
                   std::make_move_iterator(evicted.end()));
    }
  }

 private:
  // One for the read-back in progress, one for a caller that holds on to a
  // texture.
  static constexpr std::size_t kKept = 2;
  std::mutex mutex_;
  std::vector<std::pair<Block, std::size_t>> kept_;  // most recently given back last
};

class Texture final : public posix::Texture2D {
 public:
  Texture(const D3D11_TEXTURE2D_DESC& desc, std::shared_ptr<const Pixels> source,
          std::shared_ptr<Blocks> blocks)
      : Texture2D(desc), source_(std::move(source)), blocks_(std::move(blocks)) {}
  Texture(const Texture&) = delete;
  Texture& operator=(const Texture&) = delete;
  ~Texture() override {
    if (storage_ && blocks_) {
      blocks_->give_back(std::move(storage_), bytes());
    }
  }

  const std::shared_ptr<const Pixels>& source() const noexcept { return source_; }

  void copy_from(const Texture& from) {
    if (from.source() && desc_.Usage == abi::D3D11_USAGE_STAGING) {
      read(*from.source(), 0, 0);
    }
  }

  // A copy of a box of a frame's texture that fills a whole staging texture
  // reads only that rectangle. Copies into part of a staging texture are not
  // needed by the module and do nothing here.
  void copy_region_from(const Texture& from, UINT x, UINT y, const abi::D3D11_BOX& box) {
    if (!from.source() || desc_.Usage != abi::D3D11_USAGE_STAGING || x != 0 || y != 0 ||
        box.right - box.left != desc_.Width || box.bottom - box.top != desc_.Height) {
      return;
    }
    read(*from.source(), box.left, box.top);
  }

  // Turns the rectangle of `from` at (left, top) of this texture's size into
  // R, G, B, A rows here; what lies outside `from` (a frame of another size)
  // stays black. Pixels whose compositor has gone are not read: Map then
  // fails, as on a device that was removed.
  void read(const Pixels& from, UINT left, UINT top) {
    const std::lock_guard lock(mutex_);
    const std::size_t row_bytes = std::size_t{desc_.Width} * 4;
    std::uint8_t* const pixels = storage(!from.alive());
    readable_ = from.alive();
    if (!readable_) {
      return;
    }
    const bool flipped = from.upside_down();
    const UINT columns = left < from.width() ? std::min(desc_.Width, from.width() - left) : 0;
    for (UINT y = 0; y < desc_.Height; ++y) {
      std::uint8_t* to = pixels + y * row_bytes;
      const UINT source_y = top + y;
      if (source_y >= from.height() || columns == 0) {
        std::memset(to, 0, row_bytes);
        continue;
      }
      const UINT row = flipped ? from.height() - 1 - source_y : source_y;
      convert_row(from.data() + std::size_t{row} * from.stride() + std::size_t{left} * 4, to,
                  columns, from.format());
      std::memset(to + std::size_t{columns} * 4, 0, row_bytes - std::size_t{columns} * 4);
    }
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
    mapped->pData = storage(true);
    mapped->RowPitch = desc_.Width * 4;
    mapped->DepthPitch = mapped->RowPitch * desc_.Height;
    return win::S_OK_;
  }

  void unmap() {
    const std::lock_guard lock(mutex_);
    mapped_ = false;
  }

 private:
  std::size_t bytes() const noexcept { return std::size_t{desc_.Width} * desc_.Height * 4; }

  // The texture's memory, made on first use: zeroed with `zero`, so that a
  // texture never written reads black, else of any contents, for a caller
  // that writes all of it. Call with the mutex held.
  std::uint8_t* storage(bool zero) {
    if (!storage_) {
      storage_ = blocks_ ? blocks_->take(bytes())
                         : std::make_unique_for_overwrite<std::uint8_t[]>(bytes());
      if (zero) {
        std::memset(storage_.get(), 0, bytes());
      }
    }
    return storage_.get();
  }

  const std::shared_ptr<const Pixels> source_;
  const std::shared_ptr<Blocks> blocks_;
  std::mutex mutex_;
  Blocks::Block storage_;
  bool mapped_ = false;
  bool readable_ = true;  // false after a read of pixels whose compositor is gone
};

class Device final : public posix::D3DDevice {
 private:
  ComPtr<abi::ID3D11Texture2D> new_texture(const D3D11_TEXTURE2D_DESC& desc) override {
    return posix::upcast<abi::ID3D11Texture2D>(make_object<Texture>(desc, nullptr, blocks_));
  }

  const std::shared_ptr<Blocks> blocks_ = std::make_shared<Blocks>();
};

using Direct3DDevice = posix::Direct3DDevice<Device>;
using DeviceContext = posix::DeviceContext<Texture>;

}  // namespace

bool is_our_device(abi::IDirect3DDevice* device) noexcept {
  return dynamic_cast<Direct3DDevice*>(device) != nullptr;
}

ComPtr<abi::ID3D11Texture2D> make_frame_texture(std::shared_ptr<const Pixels> pixels,
                                                std::int32_t width, std::int32_t height,
                                                std::int32_t pixel_format) {
  return posix::upcast<abi::ID3D11Texture2D>(make_object<Texture>(
      posix::frame_texture_desc(width, height, pixel_format), std::move(pixels), nullptr));
}

}  // namespace lumigrab::wayland

namespace lumigrab::platform::with_wayland {

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
  if (!wayland::shared_connection()) {
    return wayland::kDxgiUnsupported;
  }
  if (obtained_level != nullptr) {
    *obtained_level = obtained;
  }
  if (device != nullptr) {
    posix::hand_out(posix::make_object<wayland::Device>(), device);
  }
  if (immediate_context != nullptr) {
    posix::hand_out(posix::make_object<wayland::DeviceContext>(), immediate_context);
  }
  return device == nullptr && immediate_context == nullptr ? win::S_FALSE_ : win::S_OK_;
}

HRESULT CreateDirect3D11DeviceFromDXGIDevice(abi::IDXGIDevice* dxgi_device,
                                             abi::IInspectable** graphics_device) {
  return posix::wrap_device<wayland::Device>(dxgi_device, graphics_device);
}

// Map hands out R, G, B, A rows already, converted when they were copied in.
HRESULT CopyMappedRows(abi::ID3D11Texture2D* /*staging*/, const abi::D3D11_MAPPED_SUBRESOURCE& mapped,
                       UINT rows, UINT width, std::uint8_t* destination,
                       std::size_t destination_pitch) {
  copy_rows_unchanged(mapped, rows, width, destination, destination_pitch);
  return win::S_OK_;
}

}  // namespace lumigrab::platform::with_wayland
