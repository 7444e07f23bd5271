// The Wayland backend's Direct3D 11 device, which lives on the CPU. A
// frame's texture stands for a shared-memory buffer the compositor filled.
// CopyResource into a staging texture (or CopySubresourceRegion, for a
// rectangle) only takes hold of that buffer; CopyMappedRows then turns its
// rows into R, G, B, A straight into the caller's rows, in one pass.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>

#include "frame/pixels.h"
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
constexpr HRESULT kOutOfMemory = static_cast<HRESULT>(0x8007000EU);    // E_OUTOFMEMORY

using Lanes = std::uint32_t __attribute__((vector_size(16)));
constexpr std::size_t kLanes = sizeof(Lanes) / sizeof(std::uint32_t);

// R, G, B, X in memory (XBGR8888 and ABGR8888) only needs its A.
template <typename Word>
Word from_rgbx(Word p) {
  return p | 0xFF000000U;
}

}  // namespace

bool is_readable_format(std::uint32_t format) noexcept {
  return format == wl::kShmArgb8888 || format == wl::kShmXrgb8888 || format == wl::kShmXbgr8888 ||
         format == wl::kShmAbgr8888;
}

void convert_row(const std::uint8_t* from, std::uint8_t* to, std::size_t count,
                 std::uint32_t format, bool streaming) noexcept {
  if (format == wl::kShmArgb8888 || format == wl::kShmXrgb8888) {
    if (streaming) {
      frame::bgrx_to_rgba_streaming(from, to, count);
    } else {
      frame::bgrx_to_rgba(from, to, count);
    }
    return;
  }
  std::size_t i = 0;
  for (; i + kLanes <= count; i += kLanes) {
    Lanes block;
    std::memcpy(&block, from + i * 4, sizeof block);
    block = from_rgbx(block);
    std::memcpy(to + i * 4, &block, sizeof block);
  }
  for (; i < count; ++i) {
    std::uint32_t p;
    std::memcpy(&p, from + i * 4, sizeof p);
    p = from_rgbx(p);
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

// The texture's own memory, which Map hands out: pages of zeros the system
// maps in only where they are written, so that a staging texture whose rows
// go straight into the caller's array costs no memory.
class ZeroPages {
 public:
  ZeroPages() = default;
  ZeroPages(const ZeroPages&) = delete;
  ZeroPages& operator=(const ZeroPages&) = delete;
  ~ZeroPages() {
    if (data_ != nullptr) {
      munmap(data_, size_);
    }
  }

  // The memory, `size` bytes, mapped on first use; null when it cannot be.
  std::uint8_t* get(std::size_t size) noexcept {
    if (data_ == nullptr) {
      void* const made =
          mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (made == MAP_FAILED) {
        return nullptr;
      }
      data_ = static_cast<std::uint8_t*>(made);
      size_ = size;
    }
    return data_;
  }

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

class Texture final : public posix::Texture2D {
 public:
  Texture(const D3D11_TEXTURE2D_DESC& desc, std::shared_ptr<const Pixels> source)
      : Texture2D(desc), source_(std::move(source)) {}
  Texture(const Texture&) = delete;
  Texture& operator=(const Texture&) = delete;
  ~Texture() override = default;

  const std::shared_ptr<const Pixels>& source() const noexcept { return source_; }

  void copy_from(const Texture& from) {
    if (from.source() && desc_.Usage == abi::D3D11_USAGE_STAGING) {
      read(from.source(), 0, 0);
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
    read(from.source(), box.left, box.top);
  }

  // Takes the rectangle of `from` at (left, top) of this texture's size, as
  // a GPU copy is queued: its pixels are converted when the rows are copied
  // out of the mapped texture. Holding `from` keeps the compositor from
  // writing into it meanwhile. Pixels whose compositor has gone are not
  // taken: Map then fails, as on a device that was removed.
  void read(std::shared_ptr<const Pixels> from, UINT left, UINT top) {
    const std::lock_guard lock(mutex_);
    readable_ = from->alive();
    from_ = readable_ ? std::move(from) : nullptr;
    left_ = left;
    top_ = top;
  }

  // Hands out the texture's own memory, which reads black: the pixels of
  // the last read go straight from the compositor's buffer into the caller's
  // rows, by copy_rows.
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
    std::uint8_t* const memory = memory_.get(std::size_t{desc_.Width} * desc_.Height * 4);
    if (memory == nullptr) {
      return kOutOfMemory;
    }
    mapped_ = true;
    mapped->pData = memory;
    mapped->RowPitch = desc_.Width * 4;
    mapped->DepthPitch = mapped->RowPitch * desc_.Height;
    return win::S_OK_;
  }

  void unmap() {
    const std::lock_guard lock(mutex_);
    mapped_ = false;
  }

  // Writes the first `rows` rows of the last read, `width` pixels of each,
  // to `to` as R, G, B, A in one pass; what lies outside the compositor's
  // buffer (a frame of another size) is black, as is a texture never read.
  HRESULT copy_rows(UINT rows, UINT width, std::uint8_t* to, std::size_t to_pitch) {
    const std::lock_guard lock(mutex_);
    if (!mapped_ || rows > desc_.Height || width > desc_.Width) {
      return win::E_INVALIDARG_;
    }
    if (!readable_) {
      return kDeviceRemoved;
    }
    const std::size_t row_bytes = std::size_t{width} * 4;
    if (!from_) {
      for (UINT y = 0; y < rows; ++y) {
        std::memset(to + y * to_pitch, 0, row_bytes);
      }
      return win::S_OK_;
    }
    const Pixels& from = *from_;
    if (!from.alive()) {
      return kDeviceRemoved;
    }
    const bool flipped = from.upside_down();
    const UINT columns = left_ < from.width() ? std::min(width, from.width() - left_) : 0;
    const std::size_t stride = from.stride();
    const bool streaming = std::size_t{rows} * row_bytes >= frame::kStreamingBytes;
    if (!flipped && columns == width && std::uint64_t{top_} + rows <= from.height() &&
        stride == row_bytes && to_pitch == row_bytes) {
      // One run of pixels on both sides.
      convert_row(from.data() + std::size_t{top_} * stride + std::size_t{left_} * 4, to,
                  std::size_t{rows} * width, from.format(), streaming);
      return win::S_OK_;
    }
    for (UINT y = 0; y < rows; ++y) {
      std::uint8_t* const row_to = to + y * to_pitch;
      const std::uint64_t source_y = std::uint64_t{top_} + y;
      if (source_y >= from.height() || columns == 0) {
        std::memset(row_to, 0, row_bytes);
        continue;
      }
      const std::size_t row = flipped ? from.height() - 1 - source_y : source_y;
      convert_row(from.data() + row * stride + std::size_t{left_} * 4, row_to, columns,
                  from.format(), streaming);
      std::memset(row_to + std::size_t{columns} * 4, 0, row_bytes - std::size_t{columns} * 4);
    }
    return win::S_OK_;
  }

 private:
  const std::shared_ptr<const Pixels> source_;  // a frame's texture: what it shows
  std::mutex mutex_;
  ZeroPages memory_;
  // The last read: its pixels, null before the first, and where it starts.
  std::shared_ptr<const Pixels> from_;
  UINT left_ = 0;
  UINT top_ = 0;
  bool mapped_ = false;
  bool readable_ = true;  // false after a read of pixels whose compositor is gone
};

class Device final : public posix::D3DDevice {
 private:
  ComPtr<abi::ID3D11Texture2D> new_texture(const D3D11_TEXTURE2D_DESC& desc) override {
    return posix::upcast<abi::ID3D11Texture2D>(make_object<Texture>(desc, nullptr));
  }
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
      posix::frame_texture_desc(width, height, pixel_format), std::move(pixels)));
}

}  // namespace lumigrab::wayland

namespace lumigrab::platform::with_wayland {

HRESULT D3D11CreateDevice(void* adapter, std::int32_t driver_type, HMODULE /*software*/,
                          UINT /*flags*/, const abi::D3D_FEATURE_LEVEL* feature_levels,
                          UINT feature_level_count, UINT sdk_version, abi::ID3D11Device** device,
                          abi::D3D_FEATURE_LEVEL* obtained_level,
                          abi::ID3D11DeviceContext** immediate_context) {
  abi::D3D_FEATURE_LEVEL obtained{};
  const HRESULT checked =
      posix::begin_create_device(adapter, driver_type, feature_levels, feature_level_count,
                                 sdk_version, device, immediate_context, &obtained);
  if (checked != win::S_OK_) {
    return checked;
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

HRESULT CopyMappedRows(abi::ID3D11Texture2D* staging,
                       const abi::D3D11_MAPPED_SUBRESOURCE& /*mapped*/, UINT rows, UINT width,
                       std::uint8_t* destination, std::size_t destination_pitch) {
  auto* texture = dynamic_cast<wayland::Texture*>(staging);
  if (texture == nullptr) {
    return win::E_INVALIDARG_;
  }
  return texture->copy_rows(rows, width, destination, destination_pitch);
}

}  // namespace lumigrab::platform::with_wayland
