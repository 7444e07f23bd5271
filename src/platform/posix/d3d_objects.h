// What the Direct3D 11 devices of the POSIX backends share: the texture
// descriptions they take, the checks of a Map, the immediate context and the
// Windows Runtime wrapper around a device. Where a texture's pixels live and
// how a copy fills them is the backend's. The calls log and fault through the
// call hooks of objects.h, so only the simulated desktop sees them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "platform/abi.h"
#include "platform/com_ptr.h"
#include "platform/posix/objects.h"

namespace lumigrab::posix {

inline constexpr std::int32_t kUsageDefault = 0;
inline constexpr UINT kBindShaderResource = 0x8;
inline constexpr UINT kBindRenderTarget = 0x20;

// The two formats a frame pool takes, and the only ones textures come in.
bool is_capture_format(std::int32_t format);

// Whether a texture with this description can be made: 2D, one mip, one
// slice, no multisampling, four bytes a pixel.
bool is_supported(const abi::D3D11_TEXTURE2D_DESC& desc);

// Whether a texture of this description can be mapped this way.
bool can_map(const abi::D3D11_TEXTURE2D_DESC& desc, std::int32_t map_type, UINT flags);

// The description of the GPU texture a frame arrives in.
abi::D3D11_TEXTURE2D_DESC frame_texture_desc(std::int32_t width, std::int32_t height,
                                             std::int32_t pixel_format);

// The first steps of D3D11CreateDevice: clears the out-pointers, checks the
// arguments (E_INVALIDARG when they do not hold together) and picks the
// feature level the device will report into `*chosen`.
HRESULT begin_create_device(void* adapter, std::int32_t driver_type,
                            const abi::D3D_FEATURE_LEVEL* feature_levels, UINT feature_level_count,
                            UINT sdk_version, abi::ID3D11Device** device,
                            abi::ID3D11DeviceContext** immediate_context,
                            abi::D3D_FEATURE_LEVEL* chosen);

// What a device and its immediate context share: whether the device was
// lost, and who is inside the context. Direct3D does not lock the immediate
// context unless multithread protection is on; two threads inside it at once
// is recorded as a misuse. The capture runtime enters it too, on the thread
// that delivers frames.
class DeviceShared {
 public:
  // S_OK, or why the device was lost; from then on every call fails so.
  HRESULT removed_reason() const noexcept { return removed_.load(); }
  void remove(HRESULT reason) noexcept {
    HRESULT expected = win::S_OK_;
    removed_.compare_exchange_strong(expected, reason);
  }
  // Passes an injected failure on; one that says the device was lost loses it.
  HRESULT failed(HRESULT result) noexcept {
    if (abi::is_device_lost(result)) {
      remove(result);
    }
    return result;
  }

  bool set_protected(bool on) noexcept { return protected_.exchange(on); }
  bool is_protected() const noexcept { return protected_.load(); }

  // One thread's stay in the context, for the length of a call.
  class Entry {
   public:
    Entry(DeviceShared& shared, std::string_view call);
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    ~Entry();

   private:
    DeviceShared& shared_;
    bool locked_;
  };

  void enter();  // ID3D11Multithread::Enter
  void leave();

 private:
  // Whether the thread took the lock to come in.
  bool arrive(std::string_view call);
  void depart(bool locked);

  std::atomic<HRESULT> removed_{win::S_OK_};
  std::atomic<bool> protected_{false};
  std::recursive_mutex lock_;
  std::mutex inside_mutex_;
  std::map<DWORD, int> inside_;  // thread id -> depth
};

// How long the capture runtime stays in a device's immediate context each time
// it hands out a frame or recreates its buffers (0 unless a test widens it).
void set_runtime_context_dwell(std::chrono::microseconds dwell);
std::chrono::microseconds runtime_context_dwell();

// A texture of a fixed description; where its pixels live is the backend's.
class Texture2D : public ComObject<Texture2D, abi::ID3D11Texture2D> {
 public:
  static constexpr std::string_view kKind = "texture";

  void* find_interface(const GUID& iid) noexcept;
  void LUMIGRAB_STDCALL GetDesc(abi::D3D11_TEXTURE2D_DESC* desc) override;
  // The device that made the texture; null for one a backend made without
  // a device.
  void LUMIGRAB_STDCALL GetDevice(abi::ID3D11Device** device) override;

  const abi::D3D11_TEXTURE2D_DESC& desc() const noexcept { return desc_; }
  // Set once, by the device that makes the texture, before anyone else has it.
  void set_device(ComPtr<abi::ID3D11Device> device) { device_ = std::move(device); }

 protected:
  explicit Texture2D(const abi::D3D11_TEXTURE2D_DESC& desc) : desc_(desc) {}

  const abi::D3D11_TEXTURE2D_DESC desc_;

 private:
  ComPtr<abi::ID3D11Device> device_;
};

// A device, which makes textures of the descriptions `supports` takes.
class D3DDevice : public ComObject<D3DDevice, abi::ID3D11Device, abi::IDXGIDevice> {
 public:
  using Base = ComObject<D3DDevice, abi::ID3D11Device, abi::IDXGIDevice>;
  static constexpr std::string_view kKind = "device";

  void* find_interface(const GUID& iid) noexcept;
  HRESULT LUMIGRAB_STDCALL QueryInterface(const GUID& iid, void** out) override;
  HRESULT LUMIGRAB_STDCALL CreateTexture2D(const abi::D3D11_TEXTURE2D_DESC* desc,
                                           const void* initial_data,
                                           abi::ID3D11Texture2D** texture) override;
  HRESULT LUMIGRAB_STDCALL GetDeviceRemovedReason() override { return shared_->removed_reason(); }

  // Shared with the device's immediate context.
  const std::shared_ptr<DeviceShared>& shared() const noexcept { return shared_; }

 protected:
  D3DDevice() = default;
  const std::shared_ptr<DeviceShared> shared_ = std::make_shared<DeviceShared>();

  virtual bool supports(const abi::D3D11_TEXTURE2D_DESC& desc) const { return is_supported(desc); }
  virtual ComPtr<abi::ID3D11Texture2D> new_texture(const abi::D3D11_TEXTURE2D_DESC& desc) = 0;
};

// Whether a copy of `box` of a texture of description `from` to (x, y) of one
// of description `to` is one Direct3D carries out: the box lies inside the
// source, its copy inside the destination, and the formats agree.
bool is_valid_region_copy(const abi::D3D11_TEXTURE2D_DESC& to, UINT x, UINT y,
                          const abi::D3D11_TEXTURE2D_DESC& from, const abi::D3D11_BOX& box);

// The immediate context. `Texture` maps and unmaps itself, fills itself from
// another texture of its size and format in copy_from, and a rectangle of
// itself from a box of another texture in copy_region_from.
template <typename Texture>
class DeviceContext final
    : public ComObject<DeviceContext<Texture>, abi::ID3D11DeviceContext, abi::ID3D11Multithread> {
 public:
  static constexpr std::string_view kKind = "context";

  explicit DeviceContext(std::shared_ptr<DeviceShared> shared = std::make_shared<DeviceShared>())
      : shared_(std::move(shared)) {}

  void* find_interface(const GUID& iid) noexcept {
    if (iid == abi::IID_IUnknown || iid == abi::IID_ID3D11DeviceContext) {
      return static_cast<abi::ID3D11DeviceContext*>(this);
    }
    if (iid == abi::IID_ID3D11Multithread) {
      return static_cast<abi::ID3D11Multithread*>(this);
    }
    return nullptr;
  }

  // The module never asks a context for its device.
  void LUMIGRAB_STDCALL GetDevice(abi::ID3D11Device** device) override {
    if (device != nullptr) {
      *device = nullptr;
    }
  }

  void LUMIGRAB_STDCALL Enter() override { shared_->enter(); }
  void LUMIGRAB_STDCALL Leave() override { shared_->leave(); }
  BOOL LUMIGRAB_STDCALL SetMultithreadProtected(BOOL protect) override {
    log_call("ID3D11Multithread::SetMultithreadProtected(" + std::to_string(protect) + ")");
    return shared_->set_protected(protect != 0) ? 1 : 0;
  }
  BOOL LUMIGRAB_STDCALL GetMultithreadProtected() override {
    return shared_->is_protected() ? 1 : 0;
  }

  HRESULT LUMIGRAB_STDCALL Map(abi::ID3D11Resource* resource, UINT subresource,
                               std::int32_t map_type, UINT flags,
                               abi::D3D11_MAPPED_SUBRESOURCE* mapped) override {
    log_call("ID3D11DeviceContext::Map(" + std::to_string(subresource) + ", " +
             std::to_string(map_type) + ", " + code_text(flags) + ")");
    const DeviceShared::Entry entry(*shared_, "Map");
    if (auto fault = injected_fault("ID3D11DeviceContext::Map")) {
      return shared_->failed(*fault);
    }
    if (const HRESULT lost = shared_->removed_reason(); win::failed(lost)) {
      return lost;
    }
    auto* texture = dynamic_cast<Texture*>(resource);
    if (texture == nullptr || subresource != 0 || mapped == nullptr) {
      return win::E_INVALIDARG_;
    }
    return texture->map(map_type, flags, mapped);
  }

  void LUMIGRAB_STDCALL Unmap(abi::ID3D11Resource* resource, UINT subresource) override {
    log_call("ID3D11DeviceContext::Unmap(" + std::to_string(subresource) + ")");
    const DeviceShared::Entry entry(*shared_, "Unmap");
    if (auto* texture = dynamic_cast<Texture*>(resource); texture != nullptr && subresource == 0) {
      texture->unmap();
    }
  }

  // Like the real call, an invalid copy (other sizes or formats) does nothing.
  void LUMIGRAB_STDCALL CopyResource(abi::ID3D11Resource* destination,
                                     abi::ID3D11Resource* source) override {
    log_call("ID3D11DeviceContext::CopyResource()");
    const DeviceShared::Entry entry(*shared_, "CopyResource");
    auto* to = dynamic_cast<Texture*>(destination);
    auto* from = dynamic_cast<Texture*>(source);
    if (to == nullptr || from == nullptr || to == from) {
      return;
    }
    const abi::D3D11_TEXTURE2D_DESC& to_desc = to->desc();
    const abi::D3D11_TEXTURE2D_DESC& from_desc = from->desc();
    if (to_desc.Width != from_desc.Width || to_desc.Height != from_desc.Height ||
        to_desc.Format != from_desc.Format) {
      return;
    }
    to->copy_from(*from);
  }

  // Like the real call, an invalid copy does nothing; no box copies the
  // whole source.
  void LUMIGRAB_STDCALL CopySubresourceRegion(abi::ID3D11Resource* destination,
                                              UINT destination_subresource, UINT x, UINT y, UINT z,
                                              abi::ID3D11Resource* source, UINT source_subresource,
                                              const abi::D3D11_BOX* source_box) override {
    auto* to = dynamic_cast<Texture*>(destination);
    auto* from = dynamic_cast<Texture*>(source);
    log_call(
        "ID3D11DeviceContext::CopySubresourceRegion(" + std::to_string(destination_subresource) +
        ", " + std::to_string(x) + ", " + std::to_string(y) + ", " + std::to_string(z) + ", " +
        std::to_string(source_subresource) + ", " +
        (source_box == nullptr
             ? std::string("NULL")
             : "{" + std::to_string(source_box->left) + ", " + std::to_string(source_box->top) +
                   ", " + std::to_string(source_box->front) + ", " +
                   std::to_string(source_box->right) + ", " + std::to_string(source_box->bottom) +
                   ", " + std::to_string(source_box->back) + "}") +
        ")");
    const DeviceShared::Entry entry(*shared_, "CopySubresourceRegion");
    if (to == nullptr || from == nullptr || to == from || destination_subresource != 0 ||
        source_subresource != 0 || z != 0) {
      return;
    }
    const abi::D3D11_BOX box =
        source_box != nullptr ? *source_box
                              : abi::D3D11_BOX{0, 0, 0, from->desc().Width, from->desc().Height, 1};
    if (!is_valid_region_copy(to->desc(), x, y, from->desc(), box)) {
      return;
    }
    to->copy_region_from(*from, x, y, box);
  }

  DeviceShared& shared() const noexcept { return *shared_; }

 private:
  const std::shared_ptr<DeviceShared> shared_;
};

// The Windows Runtime device around a backend's `Device`.
template <typename Device>
class Direct3DDevice final : public InspectableObject<Direct3DDevice<Device>, abi::IDirect3DDevice,
                                                      abi::IDirect3DDxgiInterfaceAccess> {
 public:
  using Base = InspectableObject<Direct3DDevice<Device>, abi::IDirect3DDevice,
                                 abi::IDirect3DDxgiInterfaceAccess>;
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
          return *fault;
        }
      }
    }
    return Base::QueryInterface(iid, out);
  }

  HRESULT LUMIGRAB_STDCALL Trim() override { return win::S_OK_; }

  HRESULT LUMIGRAB_STDCALL GetInterface(const GUID& iid, void** out) override {
    if (out == nullptr) {
      return win::E_POINTER_;
    }
    *out = nullptr;
    if (auto fault = injected_fault("IDirect3DDxgiInterfaceAccess::GetInterface")) {
      return *fault;
    }
    // Asks past a fault armed on the device's own query: this is another call.
    return device_->Device::Base::QueryInterface(iid, out);
  }

  Device& device() const noexcept { return *device_.get(); }

 private:
  const ComPtr<Device> device_;
};

// CreateDirect3D11DeviceFromDXGIDevice for the devices of type `Device`.
template <typename Device>
HRESULT wrap_device(abi::IDXGIDevice* dxgi_device, abi::IInspectable** graphics_device) {
  log_call("CreateDirect3D11DeviceFromDXGIDevice()");
  if (graphics_device == nullptr) {
    return win::E_POINTER_;
  }
  *graphics_device = nullptr;
  if (auto fault = injected_fault("CreateDirect3D11DeviceFromDXGIDevice")) {
    return *fault;
  }
  auto* device = dynamic_cast<Device*>(dxgi_device);
  if (device == nullptr) {
    return win::E_INVALIDARG_;
  }
  auto wrapper = make_object<Direct3DDevice<Device>>(ComPtr<Device>::copy(device));
  *graphics_device = static_cast<abi::IDirect3DDevice*>(wrapper.detach());
  return win::S_OK_;
}

}  // namespace lumigrab::posix
