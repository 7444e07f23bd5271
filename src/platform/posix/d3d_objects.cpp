#include "platform/posix/d3d_objects.h"

#include <algorithm>
#include <sstream>

#include "platform/posix/messages.h"

namespace lumigrab::posix {
namespace {

constexpr std::int32_t kMapRead = 1;
constexpr std::int32_t kMapWrite = 2;
constexpr std::int32_t kMapWriteDiscard = 4;
constexpr std::int32_t kMapWriteNoOverwrite = 5;
constexpr UINT kMapFlagDoNotWait = 0x100000;

UINT access_needed(std::int32_t map_type) {
  switch (map_type) {
    case kMapRead: return abi::D3D11_CPU_ACCESS_READ;
    case kMapWrite:
    case kMapWriteDiscard:
    case kMapWriteNoOverwrite: return abi::D3D11_CPU_ACCESS_WRITE;
    case abi::D3D11_MAP_READ_WRITE: return abi::D3D11_CPU_ACCESS_READ | abi::D3D11_CPU_ACCESS_WRITE;
    default: return 0;
  }
}

std::string describe(const abi::D3D11_TEXTURE2D_DESC& desc) {
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

std::atomic<std::int64_t> g_runtime_context_dwell_us{0};

}  // namespace

void set_runtime_context_dwell(std::chrono::microseconds dwell) {
  g_runtime_context_dwell_us.store(dwell.count());
}

std::chrono::microseconds runtime_context_dwell() {
  return std::chrono::microseconds(g_runtime_context_dwell_us.load());
}

DeviceShared::Entry::Entry(DeviceShared& shared, std::string_view call)
    : shared_(shared), locked_(shared.arrive(call)) {}

DeviceShared::Entry::~Entry() {
  shared_.depart(locked_);
}

void DeviceShared::enter() {
  lock_.lock();
}
void DeviceShared::leave() {
  lock_.unlock();
}

// With protection on, a thread waits for the context; without it, finding
// another thread inside is the misuse Direct3D leaves undefined.
bool DeviceShared::arrive(std::string_view call) {
  const bool locked = protected_.load();
  if (locked) {
    lock_.lock();
  }
  const DWORD me = current_thread_id();
  const std::lock_guard lock(inside_mutex_);
  for (const auto& [thread, depth] : inside_) {
    if (thread != me && depth > 0) {
      record_misuse("immediate context entered by two threads at once (" + std::string(call) + ")");
      break;
    }
  }
  ++inside_[me];
  return locked;
}

void DeviceShared::depart(bool locked) {
  {
    const std::lock_guard lock(inside_mutex_);
    const auto found = inside_.find(current_thread_id());
    if (found != inside_.end() && --found->second == 0) {
      inside_.erase(found);
    }
  }
  if (locked) {
    lock_.unlock();
  }
}

bool is_capture_format(std::int32_t format) {
  return format == abi::DXGI_FORMAT_R8G8B8A8_UNORM || format == abi::DXGI_FORMAT_B8G8R8A8_UNORM;
}

bool is_supported(const abi::D3D11_TEXTURE2D_DESC& desc) {
  if (desc.Width == 0 || desc.Height == 0 || desc.MipLevels != 1 || desc.ArraySize != 1 ||
      desc.SampleDesc.Count != 1 || desc.SampleDesc.Quality != 0 ||
      !is_capture_format(desc.Format)) {
    return false;
  }
  if (desc.Usage == abi::D3D11_USAGE_STAGING) {
    return desc.BindFlags == 0 && desc.CPUAccessFlags != 0;
  }
  return desc.CPUAccessFlags == 0;
}

bool can_map(const abi::D3D11_TEXTURE2D_DESC& desc, std::int32_t map_type, UINT flags) {
  const UINT access = access_needed(map_type);
  return access != 0 && (flags & ~kMapFlagDoNotWait) == 0 &&
         desc.Usage == abi::D3D11_USAGE_STAGING && (desc.CPUAccessFlags & access) == access;
}

bool is_valid_region_copy(const abi::D3D11_TEXTURE2D_DESC& to, UINT x, UINT y,
                          const abi::D3D11_TEXTURE2D_DESC& from, const abi::D3D11_BOX& box) {
  if (box.left >= box.right || box.top >= box.bottom || box.front != 0 || box.back != 1 ||
      box.right > from.Width || box.bottom > from.Height || to.Format != from.Format) {
    return false;
  }
  return std::uint64_t{x} + (box.right - box.left) <= to.Width &&
         std::uint64_t{y} + (box.bottom - box.top) <= to.Height;
}

abi::D3D11_TEXTURE2D_DESC frame_texture_desc(std::int32_t width, std::int32_t height,
                                             std::int32_t pixel_format) {
  abi::D3D11_TEXTURE2D_DESC desc{};
  desc.Width = static_cast<UINT>(width);
  desc.Height = static_cast<UINT>(height);
  desc.MipLevels = 1;
  desc.ArraySize = 1;
  desc.Format = static_cast<abi::DXGI_FORMAT>(pixel_format);
  desc.SampleDesc = {1, 0};
  desc.Usage = kUsageDefault;
  desc.BindFlags = kBindShaderResource | kBindRenderTarget;
  return desc;
}

HRESULT begin_create_device(void* adapter, std::int32_t driver_type,
                            const abi::D3D_FEATURE_LEVEL* feature_levels, UINT feature_level_count,
                            UINT sdk_version, abi::ID3D11Device** device,
                            abi::ID3D11DeviceContext** immediate_context,
                            abi::D3D_FEATURE_LEVEL* chosen) {
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
  *chosen = abi::D3D_FEATURE_LEVEL_11_0;
  if (feature_levels != nullptr) {
    *chosen = abi::D3D_FEATURE_LEVEL_9_1;
    for (UINT i = 0; i < feature_level_count; ++i) {
      *chosen = std::max(*chosen, std::min(feature_levels[i], abi::D3D_FEATURE_LEVEL_11_1));
    }
  }
  return win::S_OK_;
}

void* Texture2D::find_interface(const GUID& iid) noexcept {
  if (iid == abi::IID_IUnknown || iid == abi::IID_ID3D11Texture2D) {
    return static_cast<abi::ID3D11Texture2D*>(this);
  }
  return nullptr;
}

void LUMIGRAB_STDCALL Texture2D::GetDesc(abi::D3D11_TEXTURE2D_DESC* desc) {
  if (desc != nullptr) {
    *desc = desc_;
  }
}

void LUMIGRAB_STDCALL Texture2D::GetDevice(abi::ID3D11Device** device) {
  if (device != nullptr) {
    *device = ComPtr<abi::ID3D11Device>(device_).detach();
  }
}

void* D3DDevice::find_interface(const GUID& iid) noexcept {
  if (iid == abi::IID_IUnknown || iid == abi::IID_ID3D11Device) {
    return static_cast<abi::ID3D11Device*>(this);
  }
  if (iid == abi::IID_IDXGIDevice) {
    return static_cast<abi::IDXGIDevice*>(this);
  }
  return nullptr;
}

HRESULT LUMIGRAB_STDCALL D3DDevice::QueryInterface(const GUID& iid, void** out) {
  if (iid == abi::IID_IDXGIDevice && out != nullptr) {
    if (auto fault = injected_fault("ID3D11Device::QueryInterface(IDXGIDevice)")) {
      *out = nullptr;
      return *fault;
    }
  }
  return Base::QueryInterface(iid, out);
}

HRESULT LUMIGRAB_STDCALL D3DDevice::CreateTexture2D(const abi::D3D11_TEXTURE2D_DESC* desc,
                                                    const void* initial_data,
                                                    abi::ID3D11Texture2D** texture) {
  log_call("ID3D11Device::CreateTexture2D(" +
           (desc == nullptr ? std::string("NULL") : describe(*desc)) + ", " +
           pointer_text(initial_data) + ")");
  if (texture != nullptr) {
    *texture = nullptr;
  }
  if (auto fault = injected_fault("ID3D11Device::CreateTexture2D")) {
    return shared_->failed(*fault);
  }
  if (const HRESULT lost = shared_->removed_reason(); win::failed(lost)) {
    return lost;
  }
  // Initial contents are not taken.
  if (desc == nullptr || initial_data != nullptr || !supports(*desc)) {
    return win::E_INVALIDARG_;
  }
  if (texture == nullptr) {
    return win::S_FALSE_;  // what the real call says to a validation-only call
  }
  ComPtr<abi::ID3D11Texture2D> made = new_texture(*desc);
  if (auto* ours = dynamic_cast<Texture2D*>(made.get())) {
    ours->set_device(ComPtr<abi::ID3D11Device>::copy(this));
  }
  return hand_out(std::move(made), texture);
}

}  // namespace lumigrab::posix
