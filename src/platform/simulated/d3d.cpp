// The simulated Direct3D 11 device: device creation with a configurable
// feature level, and textures held in memory, which the shared immediate
// context copies and maps.
//
// Textures that frames arrive in share the presented image's rows and never
// change them; a texture the CPU can map owns its rows, which CopyResource
// fills with the source's rows and row pitch. So a frame costs no pixel copy
// until someone copies it into a staging texture.
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/d3d_objects.h"
#include "platform/simulated/sim_capture.h"
#include "platform/simulated/sim_objects.h"

namespace lumigrab::sim {
namespace {

using abi::D3D11_MAPPED_SUBRESOURCE;
using abi::D3D11_TEXTURE2D_DESC;

constexpr std::int32_t kDefaultFeatureLevel = abi::D3D_FEATURE_LEVEL_11_1;
std::atomic<std::int32_t> g_feature_level{kDefaultFeatureLevel};

// What D3D11CreateDevice offers when the caller names no levels.
constexpr abi::D3D_FEATURE_LEVEL kDefaultLevels[] = {
    abi::D3D_FEATURE_LEVEL_11_0, abi::D3D_FEATURE_LEVEL_10_1, abi::D3D_FEATURE_LEVEL_10_0,
    abi::D3D_FEATURE_LEVEL_9_3,  abi::D3D_FEATURE_LEVEL_9_2,  abi::D3D_FEATURE_LEVEL_9_1,
};

// Shown rows whose last texture went away, kept until the desktop is next
// scripted: their texture is often released on a capture thread, which on
// Windows would only hand a buffer back to its pool, never free an image.
struct RetiredRows {
  std::mutex mutex;
  std::vector<std::shared_ptr<const PixelRows>> rows;
};

// Never destroyed: textures may go away on threads that outlive static
// destruction.
RetiredRows& retired_rows() {
  static RetiredRows* const instance = new RetiredRows();
  return *instance;
}

// Rows of staging textures that went away, for the next staging copy: a
// read-back makes a new staging texture every time, and fresh memory of a
// frame's size costs more to fault in than the copy itself.
class SpareRows {
 public:
  void give(std::shared_ptr<PixelRows> rows) {
    std::shared_ptr<PixelRows> dropped;
    const std::lock_guard lock(mutex_);
    if (spare_.size() == kKept) {
      dropped = std::move(spare_.front());
      spare_.erase(spare_.begin());
    }
    spare_.push_back(std::move(rows));
  }

  std::shared_ptr<PixelRows> take(std::size_t size) {
    const std::lock_guard lock(mutex_);
    for (auto it = spare_.begin(); it != spare_.end(); ++it) {
      if ((*it)->bytes.size() == size) {
        std::shared_ptr<PixelRows> found = std::move(*it);
        spare_.erase(it);
        return found;
      }
    }
    return nullptr;
  }

  void clear() {
    std::vector<std::shared_ptr<PixelRows>> dropped;
    const std::lock_guard lock(mutex_);
    dropped.swap(spare_);
  }

 private:
  static constexpr std::size_t kKept = 2;
  std::mutex mutex_;
  std::vector<std::shared_ptr<PixelRows>> spare_;
};

SpareRows& spare_rows() {
  static SpareRows* const instance = new SpareRows();
  return *instance;
}
std::once_flag g_reset_hook;

void register_d3d_reset() {
  std::call_once(g_reset_hook, [] {
    on_reset([] {
      g_feature_level.store(kDefaultFeatureLevel);
      spare_rows().clear();
    });
  });
}

class Texture final : public posix::Texture2D {
 public:
  Texture(const D3D11_TEXTURE2D_DESC& desc, std::shared_ptr<const PixelRows> shown)
      : Texture2D(desc), shown_(std::move(shown)) {}
  Texture(const Texture&) = delete;
  Texture& operator=(const Texture&) = delete;
  ~Texture() override {
    // Only the last owner can see a count of 1, so nobody copies it meanwhile.
    if (shown_ && shown_.use_count() == 1) {
      RetiredRows& retired = retired_rows();
      const std::lock_guard lock(retired.mutex);
      retired.rows.push_back(std::move(shown_));
    }
    if (own_ && own_.use_count() == 1) {
      register_d3d_reset();
      spare_rows().give(std::move(own_));
    }
  }

  // A frame pool writes a new image into its buffer.
  void show(std::shared_ptr<const PixelRows> rows) {
    std::shared_ptr<const PixelRows> replaced;
    const std::lock_guard lock(mutex_);
    replaced = std::exchange(shown_, std::move(rows));
  }

  // The rows as they are now, kept alive for the caller.
  std::shared_ptr<const PixelRows> rows() {
    const std::lock_guard lock(mutex_);
    if (own_) {
      return own_;
    }
    return shown_;
  }

  void copy_from(Texture& from) {
    if (const std::shared_ptr<const PixelRows> rows = from.rows()) {
      copy_rows_from(*rows);
    }
  }

  // Takes over a copy of `source`'s rows and row pitch; reuses its own
  // memory when nobody else still reads it.
  void copy_rows_from(const PixelRows& source) {
    const std::lock_guard lock(mutex_);
    shown_.reset();
    if (!own_ || own_.use_count() != 1 || own_->bytes.size() != source.bytes.size()) {
      own_ = spare_rows().take(source.bytes.size());
    }
    if (!own_) {
      own_ = std::make_shared<PixelRows>(source);
      return;
    }
    own_->row_pitch = source.row_pitch;
    std::memcpy(own_->bytes.data(), source.bytes.data(), source.bytes.size());
  }

  // Copies `box` of `from`'s rows to (x, y) of this texture's own rows, which
  // are made when missing with a row pitch padded to 256 bytes, as GPUs pad
  // the rows of a staging texture.
  void copy_region_from(Texture& from, UINT x, UINT y, const abi::D3D11_BOX& box) {
    const std::shared_ptr<const PixelRows> rows = from.rows();
    if (!rows) {
      return;
    }
    const std::lock_guard lock(mutex_);
    shown_.reset();
    if (!own_ || own_.use_count() != 1) {
      const UINT pitch = (desc_.Width * 4 + 255) / 256 * 256;
      own_ = std::make_shared<PixelRows>();
      own_->row_pitch = pitch;
      own_->bytes.assign(std::size_t{pitch} * desc_.Height, 0);
    }
    const std::size_t bytes = std::size_t{box.right - box.left} * 4;
    for (UINT row = box.top; row < box.bottom; ++row) {
      const std::size_t source = std::size_t{row} * rows->row_pitch + std::size_t{box.left} * 4;
      if (source + bytes > rows->bytes.size()) {
        break;
      }
      std::memcpy(own_->bytes.data() + std::size_t{y + row - box.top} * own_->row_pitch +
                      std::size_t{x} * 4,
                  rows->bytes.data() + source, bytes);
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
    if (!own_) {
      own_ = std::make_shared<PixelRows>();
      own_->row_pitch = desc_.Width * 4;
      own_->bytes.resize(std::size_t{own_->row_pitch} * desc_.Height);
    }
    // The rows stay alive while mapped, even if a copy replaces them.
    mapped_ = own_;
    mapped->pData = mapped_->bytes.data();
    mapped->RowPitch = mapped_->row_pitch;
    mapped->DepthPitch = mapped_->row_pitch * desc_.Height;
    return win::S_OK_;
  }

  void unmap() {
    const std::lock_guard lock(mutex_);
    mapped_.reset();
  }

 private:
  std::mutex mutex_;
  std::shared_ptr<const PixelRows> shown_;  // shared with other textures
  std::shared_ptr<PixelRows> own_;          // this texture's alone
  std::shared_ptr<PixelRows> mapped_;
};

class Device final : public posix::D3DDevice {
 private:
  ComPtr<abi::ID3D11Texture2D> new_texture(const D3D11_TEXTURE2D_DESC& desc) override {
    return posix::upcast<abi::ID3D11Texture2D>(make_object<Texture>(desc, nullptr));
  }
};

using Direct3DDevice = posix::Direct3DDevice<Device>;
using DeviceContext = posix::DeviceContext<Texture>;

std::string feature_levels_text(const abi::D3D_FEATURE_LEVEL* levels, UINT count) {
  if (levels == nullptr) {
    return "NULL";
  }
  std::string text = "[";
  for (UINT i = 0; i < count; ++i) {
    text += (i == 0 ? "" : ", ") + code_text(static_cast<std::uint32_t>(levels[i]));
  }
  return text + "]";
}

}  // namespace

void set_feature_level(std::int32_t level) {
  register_d3d_reset();
  g_feature_level.store(level);
}

ComPtr<abi::ID3D11Texture2D> make_shown_texture(abi::IDirect3DDevice* device, std::int32_t width,
                                                std::int32_t height, std::int32_t pixel_format,
                                                std::shared_ptr<const PixelRows> rows) {
  auto texture =
      make_object<Texture>(posix::frame_texture_desc(width, height, pixel_format), std::move(rows));
  if (auto* ours = dynamic_cast<Direct3DDevice*>(device)) {
    texture->set_device(ComPtr<abi::ID3D11Device>::copy(&ours->device()));
  }
  return ComPtr<abi::ID3D11Texture2D>::attach(texture.detach());
}

void free_retired_rows() {
  std::vector<std::shared_ptr<const PixelRows>> freed;
  RetiredRows& retired = retired_rows();
  const std::lock_guard lock(retired.mutex);
  freed.swap(retired.rows);
}

void show_in_texture(abi::ID3D11Texture2D* texture, std::shared_ptr<const PixelRows> rows) {
  if (auto* ours = dynamic_cast<Texture*>(texture)) {
    ours->show(std::move(rows));
  }
}

bool is_simulated_direct3d_device(abi::IDirect3DDevice* device) noexcept {
  return dynamic_cast<Direct3DDevice*>(device) != nullptr;
}

std::shared_ptr<posix::DeviceShared> device_shared(abi::IDirect3DDevice* device) {
  auto* ours = dynamic_cast<Direct3DDevice*>(device);
  return ours == nullptr ? nullptr : ours->device().shared();
}

}  // namespace lumigrab::sim

namespace lumigrab::platform {

HRESULT D3D11CreateDevice(void* adapter, std::int32_t driver_type, HMODULE software, UINT flags,
                          const abi::D3D_FEATURE_LEVEL* feature_levels, UINT feature_level_count,
                          UINT sdk_version, abi::ID3D11Device** device,
                          abi::D3D_FEATURE_LEVEL* obtained_level,
                          abi::ID3D11DeviceContext** immediate_context) {
  sim::log_call("D3D11CreateDevice(" + posix::pointer_text(adapter) + ", " +
                std::to_string(driver_type) + ", " + posix::pointer_text(software) + ", " +
                sim::code_text(flags) + ", " +
                sim::feature_levels_text(feature_levels, feature_level_count) + ", " +
                std::to_string(feature_level_count) + ", " + std::to_string(sdk_version) + ")");
  if (device != nullptr) {
    *device = nullptr;
  }
  if (immediate_context != nullptr) {
    *immediate_context = nullptr;
  }
  if (auto fault = sim::injected_fault("D3D11CreateDevice")) {
    return fault->result();
  }
  if (sdk_version != abi::D3D11_SDK_VERSION ||
      (feature_levels != nullptr) != (feature_level_count != 0)) {
    return win::E_INVALIDARG_;
  }
  if (adapter == nullptr && driver_type != abi::D3D_DRIVER_TYPE_HARDWARE) {
    return win::E_INVALIDARG_;
  }
  const abi::D3D_FEATURE_LEVEL* offered = feature_levels;
  UINT offered_count = feature_level_count;
  if (offered == nullptr) {
    offered = sim::kDefaultLevels;
    offered_count = static_cast<UINT>(std::size(sim::kDefaultLevels));
  }
  const std::int32_t highest = sim::g_feature_level.load();
  const abi::D3D_FEATURE_LEVEL* obtained = nullptr;
  for (UINT i = 0; i < offered_count && obtained == nullptr; ++i) {
    if (offered[i] <= highest) {
      obtained = &offered[i];
    }
  }
  if (obtained == nullptr) {
    return sim::kDxgiUnsupported;
  }
  if (obtained_level != nullptr) {
    *obtained_level = *obtained;
  }
  auto made = sim::make_object<sim::Device>();
  if (immediate_context != nullptr) {
    sim::hand_out(sim::make_object<sim::DeviceContext>(made->shared()), immediate_context);
  }
  if (device != nullptr) {
    sim::hand_out(std::move(made), device);
  }
  return device == nullptr && immediate_context == nullptr ? win::S_FALSE_ : win::S_OK_;
}

HRESULT CreateDirect3D11DeviceFromDXGIDevice(abi::IDXGIDevice* dxgi_device,
                                             abi::IInspectable** graphics_device) {
  return posix::wrap_device<sim::Device>(dxgi_device, graphics_device);
}

HRESULT CopyMappedRows(abi::ID3D11Texture2D* /*staging*/,
                       const abi::D3D11_MAPPED_SUBRESOURCE& mapped, UINT rows, UINT width,
                       std::uint8_t* destination, std::size_t destination_pitch) {
  copy_rows_unchanged(mapped, rows, width, destination, destination_pitch);
  return win::S_OK_;
}

}  // namespace lumigrab::platform
