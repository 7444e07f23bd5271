// The simulated Direct3D 11 device: device creation with a configurable
// feature level, textures held in memory, the immediate context's copy and
// map, and the Windows Runtime wrapper around the device.
//
// Textures that frames arrive in share the presented image's rows and never
// change them; a texture the CPU can map owns its rows, which CopyResource
// fills with the source's rows and row pitch. So a frame costs no pixel copy
// until someone copies it into a staging texture.
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
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

constexpr std::int32_t kUsageDefault = 0;
constexpr UINT kBindShaderResource = 0x8;
constexpr UINT kBindRenderTarget = 0x20;
constexpr std::int32_t kMapRead = 1;
constexpr std::int32_t kMapWrite = 2;
constexpr std::int32_t kMapWriteDiscard = 4;
constexpr std::int32_t kMapWriteNoOverwrite = 5;
constexpr UINT kMapFlagDoNotWait = 0x100000;

std::string pointer_text(const void* pointer) {
  std::ostringstream out;
  out << "0x" << std::hex << reinterpret_cast<std::uintptr_t>(pointer);
  return pointer == nullptr ? "NULL" : out.str();
}

std::string describe(const D3D11_TEXTURE2D_DESC& desc) {
  std::ostringstream out;
  out << "Width=" << desc.Width << ", Height=" << desc.Height << ", MipLevels=" << desc.MipLevels
      << ", ArraySize=" << desc.ArraySize << ", Format=" << desc.Format
      << ", SampleDesc.Count=" << desc.SampleDesc.Count
      << ", SampleDesc.Quality=" << desc.SampleDesc.Quality << ", Usage=" << desc.Usage
      << ", BindFlags=" << code_text(desc.BindFlags)
      << ", CPUAccessFlags=" << code_text(desc.CPUAccessFlags)
      << ", MiscFlags=" << code_text(desc.MiscFlags);
  return out.str();
}

bool is_capture_format(std::int32_t format) {
  return format == abi::DXGI_FORMAT_R8G8B8A8_UNORM || format == abi::DXGI_FORMAT_B8G8R8A8_UNORM;
}

// Whether a texture with this description can be made here: 2D, one mip, one
// slice, no multisampling, four bytes a pixel.
bool is_supported(const D3D11_TEXTURE2D_DESC& desc) {
  if (desc.Width == 0 || desc.Height == 0 || desc.MipLevels != 1 || desc.ArraySize != 1 ||
      desc.SampleDesc.Count != 1 || desc.SampleDesc.Quality != 0 || !is_capture_format(desc.Format)) {
    return false;
  }
  if (desc.Usage == abi::D3D11_USAGE_STAGING) {
    return desc.BindFlags == 0 && desc.CPUAccessFlags != 0;
  }
  return desc.CPUAccessFlags == 0;
}

UINT access_needed(std::int32_t map_type) {
  switch (map_type) {
    case kMapRead:
      return abi::D3D11_CPU_ACCESS_READ;
    case kMapWrite:
    case kMapWriteDiscard:
    case kMapWriteNoOverwrite:
      return abi::D3D11_CPU_ACCESS_WRITE;
    case abi::D3D11_MAP_READ_WRITE:
      return abi::D3D11_CPU_ACCESS_READ | abi::D3D11_CPU_ACCESS_WRITE;
    default:
      return 0;
  }
}

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

class Texture final : public ComObject<Texture, abi::ID3D11Texture2D> {
 public:
  static constexpr std::string_view kKind = "texture";

  Texture(const D3D11_TEXTURE2D_DESC& desc, std::shared_ptr<const PixelRows> shown)
      : desc_(desc), shown_(std::move(shown)) {}
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

  void* find_interface(const GUID& iid) noexcept {
    if (iid == abi::IID_IUnknown || iid == abi::IID_ID3D11Texture2D) {
      return static_cast<abi::ID3D11Texture2D*>(this);
    }
    return nullptr;
  }

  void LUMIGRAB_STDCALL GetDesc(D3D11_TEXTURE2D_DESC* desc) override {
    if (desc != nullptr) {
      *desc = desc_;
    }
  }

  const D3D11_TEXTURE2D_DESC& desc() const noexcept { return desc_; }

  // The rows as they are now, kept alive for the caller.
  std::shared_ptr<const PixelRows> rows() {
    const std::lock_guard lock(mutex_);
    if (own_) {
      return own_;
    }
    return shown_;
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

  HRESULT map(std::int32_t map_type, UINT flags, D3D11_MAPPED_SUBRESOURCE* mapped) {
    const UINT access = access_needed(map_type);
    if (access == 0 || (flags & ~kMapFlagDoNotWait) != 0 ||
        desc_.Usage != abi::D3D11_USAGE_STAGING || (desc_.CPUAccessFlags & access) != access) {
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
  const D3D11_TEXTURE2D_DESC desc_;
  std::mutex mutex_;
  std::shared_ptr<const PixelRows> shown_;  // shared with other textures
  std::shared_ptr<PixelRows> own_;          // this texture's alone
  std::shared_ptr<PixelRows> mapped_;
};

class DeviceContext final : public ComObject<DeviceContext, abi::ID3D11DeviceContext> {
 public:
  static constexpr std::string_view kKind = "context";

  void* find_interface(const GUID& iid) noexcept {
    if (iid == abi::IID_IUnknown || iid == abi::IID_ID3D11DeviceContext) {
      return static_cast<abi::ID3D11DeviceContext*>(this);
    }
    return nullptr;
  }

  HRESULT LUMIGRAB_STDCALL Map(abi::ID3D11Resource* resource, UINT subresource,
                               std::int32_t map_type, UINT flags,
                               D3D11_MAPPED_SUBRESOURCE* mapped) override {
    log_call("ID3D11DeviceContext::Map(" + std::to_string(subresource) + ", " +
             std::to_string(map_type) + ", " + code_text(flags) + ")");
    if (auto fault = injected_fault("ID3D11DeviceContext::Map")) {
      return fault->result();
    }
    auto* texture = dynamic_cast<Texture*>(resource);
    if (texture == nullptr || subresource != 0 || mapped == nullptr) {
      return win::E_INVALIDARG_;
    }
    return texture->map(map_type, flags, mapped);
  }

  void LUMIGRAB_STDCALL Unmap(abi::ID3D11Resource* resource, UINT subresource) override {
    log_call("ID3D11DeviceContext::Unmap(" + std::to_string(subresource) + ")");
    if (auto* texture = dynamic_cast<Texture*>(resource); texture != nullptr && subresource == 0) {
      texture->unmap();
    }
  }

  // Like the real call, an invalid copy (other sizes or formats) does nothing.
  void LUMIGRAB_STDCALL CopyResource(abi::ID3D11Resource* destination,
                                     abi::ID3D11Resource* source) override {
    log_call("ID3D11DeviceContext::CopyResource()");
    auto* to = dynamic_cast<Texture*>(destination);
    auto* from = dynamic_cast<Texture*>(source);
    if (to == nullptr || from == nullptr || to == from) {
      return;
    }
    const D3D11_TEXTURE2D_DESC& to_desc = to->desc();
    const D3D11_TEXTURE2D_DESC& from_desc = from->desc();
    if (to_desc.Width != from_desc.Width || to_desc.Height != from_desc.Height ||
        to_desc.Format != from_desc.Format) {
      return;
    }
    if (const std::shared_ptr<const PixelRows> rows = from->rows()) {
      to->copy_rows_from(*rows);
    }
  }

};

class Device final : public ComObject<Device, abi::ID3D11Device, abi::IDXGIDevice> {
 public:
  using Base = ComObject<Device, abi::ID3D11Device, abi::IDXGIDevice>;
  static constexpr std::string_view kKind = "device";

  void* find_interface(const GUID& iid) noexcept {
    if (iid == abi::IID_IUnknown || iid == abi::IID_ID3D11Device) {
      return static_cast<abi::ID3D11Device*>(this);
    }
    if (iid == abi::IID_IDXGIDevice) {
      return static_cast<abi::IDXGIDevice*>(this);
    }
    return nullptr;
  }

  HRESULT LUMIGRAB_STDCALL QueryInterface(const GUID& iid, void** out) override {
    if (iid == abi::IID_IDXGIDevice && out != nullptr) {
      if (auto fault = injected_fault("ID3D11Device::QueryInterface(IDXGIDevice)")) {
        *out = nullptr;
        return fault->result();
      }
    }
    return Base::QueryInterface(iid, out);
  }

  HRESULT LUMIGRAB_STDCALL CreateTexture2D(const D3D11_TEXTURE2D_DESC* desc,
                                           const void* initial_data,
                                           abi::ID3D11Texture2D** texture) override {
    log_call("ID3D11Device::CreateTexture2D(" +
             (desc == nullptr ? std::string("NULL") : describe(*desc)) + ", " +
             pointer_text(initial_data) + ")");
    if (texture != nullptr) {
      *texture = nullptr;
    }
    if (auto fault = injected_fault("ID3D11Device::CreateTexture2D")) {
      return fault->result();
    }
    // Initial contents are not simulated.
    if (desc == nullptr || initial_data != nullptr || !is_supported(*desc)) {
      return win::E_INVALIDARG_;
    }
    if (texture == nullptr) {
      return win::S_FALSE_;  // what the real call says to a validation-only call
    }
    return hand_out(make_object<Texture>(*desc, nullptr), texture);
  }

};

class Direct3DDevice final : public InspectableObject<Direct3DDevice, abi::IDirect3DDevice,
                                                      abi::IDirect3DDxgiInterfaceAccess> {
 public:
  static constexpr std::string_view kKind = "direct3d_device";

  explicit Direct3DDevice(ComPtr<Device> device) : device_(std::move(device)) {}

  void* find_interface(const GUID& iid) noexcept {
    if (iid == abi::IID_IUnknown || iid == abi::IID_IInspectable ||
        iid == abi::IID_IDirect3DDevice) {
      return static_cast<abi::IDirect3DDevice*>(this);
    }
    if (iid == abi::IID_IDirect3DDxgiInterfaceAccess) {
      return static_cast<abi::IDirect3DDxgiInterfaceAccess*>(this);
    }
    return nullptr;
  }

  HRESULT LUMIGRAB_STDCALL QueryInterface(const GUID& iid, void** out) override {
    if (out != nullptr) {
      const char* point = iid == abi::IID_IDirect3DDevice ? "QueryInterface(IDirect3DDevice)"
                          : iid == abi::IID_IDirect3DDxgiInterfaceAccess
                              ? "QueryInterface(IDirect3DDxgiInterfaceAccess)"
                              : nullptr;
      if (point != nullptr) {
        if (auto fault = injected_fault(point)) {
          *out = nullptr;
          return fault->result();
        }
      }
    }
    return InspectableObject::QueryInterface(iid, out);
  }

  HRESULT LUMIGRAB_STDCALL Trim() override { return win::S_OK_; }

  HRESULT LUMIGRAB_STDCALL GetInterface(const GUID& iid, void** out) override {
    if (out == nullptr) {
      return win::E_POINTER_;
    }
    *out = nullptr;
    if (auto fault = injected_fault("IDirect3DDxgiInterfaceAccess::GetInterface")) {
      return fault->result();
    }
    // Asks past the device's own injected query fault: this is another call.
    return device_->Base::QueryInterface(iid, out);
  }

 private:
  const ComPtr<Device> device_;
};

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

ComPtr<abi::ID3D11Texture2D> make_shown_texture(std::int32_t width, std::int32_t height,
                                                std::int32_t pixel_format,
                                                std::shared_ptr<const PixelRows> rows) {
  D3D11_TEXTURE2D_DESC desc{};
  desc.Width = static_cast<UINT>(width);
  desc.Height = static_cast<UINT>(height);
  desc.MipLevels = 1;
  desc.ArraySize = 1;
  desc.Format = static_cast<abi::DXGI_FORMAT>(pixel_format);
  desc.SampleDesc = {1, 0};
  desc.Usage = kUsageDefault;
  desc.BindFlags = kBindShaderResource | kBindRenderTarget;
  return ComPtr<abi::ID3D11Texture2D>::attach(
      make_object<Texture>(desc, std::move(rows)).detach());
}

void free_retired_rows() {
  std::vector<std::shared_ptr<const PixelRows>> freed;
  RetiredRows& retired = retired_rows();
  const std::lock_guard lock(retired.mutex);
  freed.swap(retired.rows);
}

bool is_simulated_direct3d_device(abi::IDirect3DDevice* device) noexcept {
  return dynamic_cast<Direct3DDevice*>(device) != nullptr;
}

}  // namespace lumigrab::sim

namespace lumigrab::platform {

HRESULT D3D11CreateDevice(void* adapter, std::int32_t driver_type, HMODULE software, UINT flags,
                          const abi::D3D_FEATURE_LEVEL* feature_levels, UINT feature_level_count,
                          UINT sdk_version, abi::ID3D11Device** device,
                          abi::D3D_FEATURE_LEVEL* obtained_level,
                          abi::ID3D11DeviceContext** immediate_context) {
  sim::log_call("D3D11CreateDevice(" + sim::pointer_text(adapter) + ", " +
                std::to_string(driver_type) + ", " + sim::pointer_text(software) + ", " +
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
  if (sdk_version != abi::D3D11_SDK_VERSION || (feature_levels != nullptr) != (feature_level_count != 0)) {
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
  if (device != nullptr) {
    sim::hand_out(sim::make_object<sim::Device>(), device);
  }
  if (immediate_context != nullptr) {
    sim::hand_out(sim::make_object<sim::DeviceContext>(), immediate_context);
  }
  return device == nullptr && immediate_context == nullptr ? win::S_FALSE_ : win::S_OK_;
}

HRESULT CreateDirect3D11DeviceFromDXGIDevice(abi::IDXGIDevice* dxgi_device,
                                             abi::IInspectable** graphics_device) {
  sim::log_call("CreateDirect3D11DeviceFromDXGIDevice()");
  if (graphics_device == nullptr) {
    return win::E_POINTER_;
  }
  *graphics_device = nullptr;
  if (auto fault = sim::injected_fault("CreateDirect3D11DeviceFromDXGIDevice")) {
    return fault->result();
  }
  auto* device = dynamic_cast<sim::Device*>(dxgi_device);
  if (device == nullptr) {
    return win::E_INVALIDARG_;
  }
  auto wrapper = sim::make_object<sim::Direct3DDevice>(ComPtr<sim::Device>::copy(device));
  *graphics_device = static_cast<abi::IDirect3DDevice*>(wrapper.detach());
  return win::S_OK_;
}

}  // namespace lumigrab::platform
