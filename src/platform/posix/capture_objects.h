// The Windows.Graphics.Capture objects the POSIX backends share: frames and
// their surfaces, the frame pool with its FrameArrived handlers, and the
// outer shells of items, sessions and the two activation factories. A
// backend supplies how frames are made and delivered, what devices it takes
// and how a session watches its target. The calls log and fault through the
// call hooks of objects.h, so only the simulated desktop sees them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/abi.h"
#include "platform/com_ptr.h"
#include "platform/posix/objects.h"

namespace lumigrab::posix {

class CaptureSurface final : public InspectableObject<CaptureSurface, abi::IDirect3DSurface,
                                                      abi::IDirect3DDxgiInterfaceAccess> {
 public:
  using Base =
      InspectableObject<CaptureSurface, abi::IDirect3DSurface, abi::IDirect3DDxgiInterfaceAccess>;
  static constexpr std::string_view kKind = "surface";

  explicit CaptureSurface(ComPtr<abi::ID3D11Texture2D> texture) : texture_(std::move(texture)) {}

  void* find_interface(const GUID& iid) noexcept;
  HRESULT LUMIGRAB_STDCALL QueryInterface(const GUID& iid, void** out) override;
  HRESULT LUMIGRAB_STDCALL get_Description(abi::Direct3DSurfaceDescription* value) override;
  HRESULT LUMIGRAB_STDCALL GetInterface(const GUID& iid, void** out) override;

 private:
  const ComPtr<abi::ID3D11Texture2D> texture_;
};

class CaptureFrame final
    : public InspectableObject<CaptureFrame, abi::IDirect3D11CaptureFrame, abi::IClosable> {
 public:
  static constexpr std::string_view kKind = "frame";

  // `returned`, when given, runs once as the frame is closed or released:
  // it hands the frame's buffer back to its pool.
  CaptureFrame(ComPtr<abi::ID3D11Texture2D> texture, abi::SizeInt32 content_size,
               std::function<void()> returned = {})
      : texture_(std::move(texture)),
        content_size_(content_size),
        arrived_(std::chrono::steady_clock::now()),
        returned_(std::move(returned)) {}
  CaptureFrame(const CaptureFrame&) = delete;
  CaptureFrame& operator=(const CaptureFrame&) = delete;
  ~CaptureFrame() override { give_back(); }

  void* find_interface(const GUID& iid) noexcept;
  HRESULT LUMIGRAB_STDCALL get_Surface(abi::IDirect3DSurface** value) override;
  HRESULT LUMIGRAB_STDCALL get_SystemRelativeTime(abi::TimeSpan* value) override;
  HRESULT LUMIGRAB_STDCALL get_ContentSize(abi::SizeInt32* value) override;
  HRESULT LUMIGRAB_STDCALL Close() override;

 private:
  void give_back();

  const ComPtr<abi::ID3D11Texture2D> texture_;
  const abi::SizeInt32 content_size_;
  const std::chrono::steady_clock::time_point arrived_;
  const std::function<void()> returned_;
  std::atomic<bool> given_back_{false};
  std::atomic<bool> closed_{false};
};

// A capture item of a monitor or window, of the size it had when made.
class CaptureItem : public InspectableObject<CaptureItem, abi::IGraphicsCaptureItem> {
 public:
  static constexpr std::string_view kKind = "item";

  void* find_interface(const GUID& iid) noexcept;
  HRESULT LUMIGRAB_STDCALL get_DisplayName(abi::HSTRING* value) override;
  HRESULT LUMIGRAB_STDCALL get_Size(abi::SizeInt32* value) override;

  abi::SizeInt32 size() const noexcept { return size_; }

 protected:
  explicit CaptureItem(abi::SizeInt32 size) : size_(size) {}

 private:
  const abi::SizeInt32 size_;
};

// A capture session; the backend starts and stops the watch on its target.
// It carries the pointer and border switches of the later session interfaces,
// which a backend may leave out as older systems do.
class CaptureSession
    : public InspectableObject<CaptureSession, abi::IGraphicsCaptureSession, abi::IClosable,
                               abi::IGraphicsCaptureSession2, abi::IGraphicsCaptureSession3> {
 public:
  static constexpr std::string_view kKind = "session";

  void* find_interface(const GUID& iid) noexcept;
  HRESULT LUMIGRAB_STDCALL StartCapture() override;
  HRESULT LUMIGRAB_STDCALL Close() override;
  HRESULT LUMIGRAB_STDCALL get_IsCursorCaptureEnabled(abi::boolean* value) override;
  HRESULT LUMIGRAB_STDCALL put_IsCursorCaptureEnabled(abi::boolean value) override;
  HRESULT LUMIGRAB_STDCALL get_IsBorderRequired(abi::boolean* value) override;
  HRESULT LUMIGRAB_STDCALL put_IsBorderRequired(abi::boolean value) override;

  bool cursor_enabled() const noexcept { return cursor_enabled_.load(); }
  bool border_required() const noexcept { return border_required_.load(); }

 protected:
  explicit CaptureSession(bool cursor_by_default) : cursor_enabled_(cursor_by_default) {}

  virtual HRESULT start() = 0;
  virtual void close() = 0;
  // Whether the session answers IGraphicsCaptureSession2 and 3.
  virtual bool offers_cursor_switch() const { return true; }
  virtual bool offers_border_switch() const { return true; }
  // Whether this process may turn the border off.
  virtual bool may_hide_border() const { return true; }
  // Whether a border that may not be hidden stays without a word: the switch
  // then answers S_OK and keeps its value, rather than E_ACCESSDENIED.
  virtual bool keeps_border_silently() const { return false; }

 private:
  std::atomic<bool> cursor_enabled_;
  std::atomic<bool> border_required_{true};
};

// A frame pool: one pending frame, the FrameArrived handlers, and the device
// and format frames are made for. The backend makes and delivers frames
// under `mutex_`, and has raise_frame_arrived run on the pool's thread.
class FramePool
    : public InspectableObject<FramePool, abi::IDirect3D11CaptureFramePool, abi::IClosable> {
 public:
  static constexpr std::string_view kKind = "pool";

  void* find_interface(const GUID& iid) noexcept;
  HRESULT LUMIGRAB_STDCALL Recreate(abi::IDirect3DDevice* device, std::int32_t pixel_format,
                                    std::int32_t number_of_buffers, abi::SizeInt32 size) override;
  HRESULT LUMIGRAB_STDCALL TryGetNextFrame(abi::IDirect3D11CaptureFrame** result) override;
  HRESULT LUMIGRAB_STDCALL add_FrameArrived(abi::IFrameArrivedHandler* handler,
                                            abi::EventRegistrationToken* token) override;
  HRESULT LUMIGRAB_STDCALL remove_FrameArrived(abi::EventRegistrationToken token) override;
  HRESULT LUMIGRAB_STDCALL CreateCaptureSession(abi::IGraphicsCaptureItem* item,
                                                abi::IGraphicsCaptureSession** result) override;
  HRESULT LUMIGRAB_STDCALL get_DispatcherQueue(abi::IDispatcherQueue** value) override;
  HRESULT LUMIGRAB_STDCALL Close() override;

 protected:
  FramePool(DWORD thread_id, ComPtr<abi::IDirect3DDevice> device, std::int32_t pixel_format,
            std::int32_t buffer_count = 1)
      : thread_id_(thread_id),
        device_(std::move(device)),
        pixel_format_(pixel_format),
        buffer_count_(buffer_count) {}

  // Whether frames can be made for `device`.
  virtual bool accepts_device(abi::IDirect3DDevice* device) = 0;
  // Called under `mutex_` once Recreate has taken `device`; what it returns
  // runs after the lock is released, and keeps what it replaced until then.
  virtual std::function<void()> recreated(abi::IDirect3DDevice* /*device*/,
                                          abi::SizeInt32 /*size*/) {
    return {};
  }
  // Called under `mutex_` as a raise of FrameArrived begins.
  virtual void raising() {}
  // A session of this pool for `item`, one of the backend's own items.
  virtual ComPtr<CaptureSession> new_session(CaptureItem& item) = 0;

  void raise_frame_arrived();

  const DWORD thread_id_;
  std::mutex mutex_;
  // Guarded by `mutex_`.
  ComPtr<abi::IDirect3DDevice> device_;
  std::int32_t pixel_format_;
  bool closed_ = false;
  ComPtr<CaptureFrame> pending_;
  // How many buffers Create or the last Recreate asked for.
  std::int32_t buffer_count_ = 1;

 private:
  std::int64_t last_token_ = 0;
  std::vector<std::pair<std::int64_t, ComPtr<abi::IFrameArrivedHandler>>> handlers_;
};

// The activation factory of the item class, answering
// IGraphicsCaptureItemInterop when `with_interop`.
class CaptureItemFactory : public InspectableObject<CaptureItemFactory, abi::IActivationFactory,
                                                    abi::IGraphicsCaptureItemInterop> {
 public:
  static constexpr std::string_view kKind = "interop_factory";

  void* find_interface(const GUID& iid) noexcept;
  HRESULT LUMIGRAB_STDCALL ActivateInstance(abi::IInspectable** instance) override;

 protected:
  explicit CaptureItemFactory(bool with_interop) : with_interop_(with_interop) {}

 private:
  const bool with_interop_;
};

// The activation factory of the frame pool class.
class FramePoolStatics
    : public InspectableObject<FramePoolStatics, abi::IActivationFactory,
                               abi::IDirect3D11CaptureFramePoolStatics, abi::IAgileObject> {
 public:
  static constexpr std::string_view kKind = "statics";

  void* find_interface(const GUID& iid) noexcept;
  HRESULT LUMIGRAB_STDCALL ActivateInstance(abi::IInspectable** instance) override;
  HRESULT LUMIGRAB_STDCALL Create(abi::IDirect3DDevice* device, std::int32_t pixel_format,
                                  std::int32_t number_of_buffers, abi::SizeInt32 size,
                                  abi::IDirect3D11CaptureFramePool** result) override;

 protected:
  FramePoolStatics() = default;

  virtual bool accepts_device(abi::IDirect3DDevice* device) = 0;
  // A pool for an accepted device, raising FrameArrived on `thread_id`.
  virtual ComPtr<FramePool> new_pool(DWORD thread_id, abi::IDirect3DDevice* device,
                                     std::int32_t pixel_format, abi::SizeInt32 size,
                                     std::int32_t buffer_count) = 0;
};

// The activation factory of a backend's capture classes by name: its
// `ItemFactory` for capture items, its `PoolStatics` for frame pools; null
// for any other class.
template <class ItemFactory, class PoolStatics>
ComPtr<abi::IActivationFactory> make_capture_factory(std::u16string_view class_name) {
  if (class_name == abi::kGraphicsCaptureItemClass) {
    return ComPtr<abi::IActivationFactory>::attach(make_object<ItemFactory>().detach());
  }
  if (class_name == abi::kFramePoolClass) {
    return ComPtr<abi::IActivationFactory>::attach(make_object<PoolStatics>().detach());
  }
  return nullptr;
}

}  // namespace lumigrab::posix
