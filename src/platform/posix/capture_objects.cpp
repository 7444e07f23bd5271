#include "platform/posix/capture_objects.h"

#include <string>

#include "platform/posix/d3d_objects.h"
#include "platform/posix/messages.h"
#include "platform/posix/runtime.h"

namespace lumigrab::posix {

// --- surface ---

void* CaptureSurface::find_interface(const GUID& iid) noexcept {
  if (iid == abi::IID_IUnknown || iid == abi::IID_IInspectable ||
      iid == abi::IID_IDirect3DSurface) {
    return static_cast<abi::IDirect3DSurface*>(this);
  }
  if (iid == abi::IID_IDirect3DDxgiInterfaceAccess) {
    return static_cast<abi::IDirect3DDxgiInterfaceAccess*>(this);
  }
  return nullptr;
}

HRESULT LUMIGRAB_STDCALL CaptureSurface::QueryInterface(const GUID& iid, void** out) {
  if (iid == abi::IID_IDirect3DDxgiInterfaceAccess && out != nullptr) {
    if (auto fault = injected_fault("QueryInterface(IDirect3DDxgiInterfaceAccess)")) {
      *out = nullptr;
      return *fault;
    }
  }
  return Base::QueryInterface(iid, out);
}

HRESULT LUMIGRAB_STDCALL CaptureSurface::get_Description(abi::Direct3DSurfaceDescription* value) {
  if (value == nullptr) {
    return win::E_POINTER_;
  }
  abi::D3D11_TEXTURE2D_DESC desc{};
  texture_->GetDesc(&desc);
  *value = {static_cast<std::int32_t>(desc.Width), static_cast<std::int32_t>(desc.Height),
            desc.Format, 1, 0};
  return win::S_OK_;
}

HRESULT LUMIGRAB_STDCALL CaptureSurface::GetInterface(const GUID& iid, void** out) {
  if (out == nullptr) {
    return win::E_POINTER_;
  }
  *out = nullptr;
  if (auto fault = injected_fault("IDirect3DDxgiInterfaceAccess::GetInterface")) {
    return *fault;
  }
  return texture_->QueryInterface(iid, out);
}

// --- frame ---

void* CaptureFrame::find_interface(const GUID& iid) noexcept {
  if (iid == abi::IID_IUnknown || iid == abi::IID_IInspectable ||
      iid == abi::IID_IDirect3D11CaptureFrame) {
    return static_cast<abi::IDirect3D11CaptureFrame*>(this);
  }
  if (iid == abi::IID_IClosable) {
    return static_cast<abi::IClosable*>(this);
  }
  return nullptr;
}

HRESULT LUMIGRAB_STDCALL CaptureFrame::get_Surface(abi::IDirect3DSurface** value) {
  if (value == nullptr) {
    return win::E_POINTER_;
  }
  *value = nullptr;
  if (auto fault = injected_fault("IDirect3D11CaptureFrame::get_Surface")) {
    return *fault;
  }
  if (closed_.load()) {
    return win::RO_E_CLOSED_;
  }
  return hand_out(make_object<CaptureSurface>(texture_), value);
}

HRESULT LUMIGRAB_STDCALL CaptureFrame::get_SystemRelativeTime(abi::TimeSpan* value) {
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

HRESULT LUMIGRAB_STDCALL CaptureFrame::get_ContentSize(abi::SizeInt32* value) {
  if (value == nullptr) {
    return win::E_POINTER_;
  }
  if (auto fault = injected_fault("IDirect3D11CaptureFrame::get_ContentSize")) {
    return *fault;
  }
  if (closed_.load()) {
    return win::RO_E_CLOSED_;
  }
  *value = content_size_;
  return win::S_OK_;
}

HRESULT LUMIGRAB_STDCALL CaptureFrame::Close() {
  closed_.store(true);
  give_back();
  return win::S_OK_;
}

void CaptureFrame::give_back() {
  if (returned_ && !given_back_.exchange(true)) {
    returned_();
  }
}

// --- item ---

void* CaptureItem::find_interface(const GUID& iid) noexcept {
  if (iid == abi::IID_IUnknown || iid == abi::IID_IInspectable ||
      iid == abi::IID_IGraphicsCaptureItem) {
    return static_cast<abi::IGraphicsCaptureItem*>(this);
  }
  return nullptr;
}

HRESULT LUMIGRAB_STDCALL CaptureItem::get_DisplayName(abi::HSTRING* value) {
  if (value == nullptr) {
    return win::E_POINTER_;
  }
  *value = nullptr;
  return win::E_NOTIMPL_;
}

HRESULT LUMIGRAB_STDCALL CaptureItem::get_Size(abi::SizeInt32* value) {
  log_call("IGraphicsCaptureItem::get_Size()");
  if (value == nullptr) {
    return win::E_POINTER_;
  }
  if (auto fault = injected_fault("IGraphicsCaptureItem::get_Size")) {
    return *fault;
  }
  *value = size_;
  return win::S_OK_;
}

// --- session ---

void* CaptureSession::find_interface(const GUID& iid) noexcept {
  if (iid == abi::IID_IUnknown || iid == abi::IID_IInspectable ||
      iid == abi::IID_IGraphicsCaptureSession) {
    return static_cast<abi::IGraphicsCaptureSession*>(this);
  }
  if (iid == abi::IID_IClosable) {
    return static_cast<abi::IClosable*>(this);
  }
  if (iid == abi::IID_IGraphicsCaptureSession2 && offers_cursor_switch()) {
    return static_cast<abi::IGraphicsCaptureSession2*>(this);
  }
  if (iid == abi::IID_IGraphicsCaptureSession3 && offers_border_switch()) {
    return static_cast<abi::IGraphicsCaptureSession3*>(this);
  }
  return nullptr;
}

HRESULT LUMIGRAB_STDCALL CaptureSession::get_IsCursorCaptureEnabled(abi::boolean* value) {
  if (value == nullptr) {
    return win::E_POINTER_;
  }
  *value = cursor_enabled() ? 1 : 0;
  return win::S_OK_;
}

HRESULT LUMIGRAB_STDCALL CaptureSession::put_IsCursorCaptureEnabled(abi::boolean value) {
  log_call("IGraphicsCaptureSession2::put_IsCursorCaptureEnabled(" +
           std::to_string(static_cast<int>(value)) + ")");
  if (auto fault = injected_fault("IGraphicsCaptureSession2::put_IsCursorCaptureEnabled")) {
    return *fault;
  }
  cursor_enabled_.store(value != 0);
  return win::S_OK_;
}

HRESULT LUMIGRAB_STDCALL CaptureSession::get_IsBorderRequired(abi::boolean* value) {
  if (value == nullptr) {
    return win::E_POINTER_;
  }
  *value = border_required() ? 1 : 0;
  return win::S_OK_;
}

// Without the borderless capture access the border cannot be turned off.
HRESULT LUMIGRAB_STDCALL CaptureSession::put_IsBorderRequired(abi::boolean value) {
  log_call("IGraphicsCaptureSession3::put_IsBorderRequired(" +
           std::to_string(static_cast<int>(value)) + ")");
  if (auto fault = injected_fault("IGraphicsCaptureSession3::put_IsBorderRequired")) {
    return *fault;
  }
  if (value == 0 && !may_hide_border()) {
    return keeps_border_silently() ? win::S_OK_ : win::E_ACCESSDENIED_;
  }
  border_required_.store(value != 0);
  return win::S_OK_;
}

HRESULT LUMIGRAB_STDCALL CaptureSession::StartCapture() {
  log_call("IGraphicsCaptureSession::StartCapture()");
  if (auto fault = injected_fault("IGraphicsCaptureSession::StartCapture")) {
    return *fault;
  }
  return start();
}

HRESULT LUMIGRAB_STDCALL CaptureSession::Close() {
  log_call("IClosable::Close(Session)");
  if (auto fault = injected_fault("IClosable::Close(Session)")) {
    return *fault;
  }
  close();
  return win::S_OK_;
}

// --- frame pool ---

void* FramePool::find_interface(const GUID& iid) noexcept {
  if (iid == abi::IID_IUnknown || iid == abi::IID_IInspectable ||
      iid == abi::IID_IDirect3D11CaptureFramePool) {
    return static_cast<abi::IDirect3D11CaptureFramePool*>(this);
  }
  if (iid == abi::IID_IClosable) {
    return static_cast<abi::IClosable*>(this);
  }
  return nullptr;
}

HRESULT LUMIGRAB_STDCALL FramePool::Recreate(abi::IDirect3DDevice* device,
                                             std::int32_t pixel_format,
                                             std::int32_t number_of_buffers, abi::SizeInt32 size) {
  log_call("IDirect3D11CaptureFramePool::Recreate(" + std::to_string(pixel_format) + ", " +
           std::to_string(number_of_buffers) + ", " + size_text(size) + ")");
  if (auto fault = injected_fault("IDirect3D11CaptureFramePool::Recreate")) {
    return *fault;
  }
  if (!accepts_device(device) || !is_capture_format(pixel_format) || number_of_buffers < 1 ||
      size.Width < 1 || size.Height < 1) {
    return win::E_INVALIDARG_;
  }
  auto replaced = ComPtr<abi::IDirect3DDevice>::copy(device);
  std::function<void()> then;
  {
    const std::lock_guard lock(mutex_);
    if (closed_) {
      return win::RO_E_CLOSED_;
    }
    device_.swap(replaced);
    pixel_format_ = pixel_format;
    buffer_count_ = number_of_buffers;
    then = recreated(device, size);
  }
  if (then) {
    then();
  }
  return win::S_OK_;
}

HRESULT LUMIGRAB_STDCALL FramePool::TryGetNextFrame(abi::IDirect3D11CaptureFrame** result) {
  if (result == nullptr) {
    return win::E_POINTER_;
  }
  *result = nullptr;
  if (auto fault = injected_fault("IDirect3D11CaptureFramePool::TryGetNextFrame")) {
    return *fault;
  }
  const std::lock_guard lock(mutex_);
  if (closed_) {
    return win::RO_E_CLOSED_;
  }
  *result = pending_.detach();
  return win::S_OK_;
}

HRESULT LUMIGRAB_STDCALL FramePool::add_FrameArrived(abi::IFrameArrivedHandler* handler,
                                                     abi::EventRegistrationToken* token) {
  log_call("IDirect3D11CaptureFramePool::add_FrameArrived()");
  if (token == nullptr) {
    return win::E_POINTER_;
  }
  *token = {0};
  if (auto fault = injected_fault("IDirect3D11CaptureFramePool::add_FrameArrived")) {
    return *fault;
  }
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

HRESULT LUMIGRAB_STDCALL FramePool::remove_FrameArrived(abi::EventRegistrationToken token) {
  log_call("IDirect3D11CaptureFramePool::remove_FrameArrived(" + std::to_string(token.value) + ")");
  if (auto fault = injected_fault("IDirect3D11CaptureFramePool::remove_FrameArrived")) {
    return *fault;
  }
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

HRESULT LUMIGRAB_STDCALL FramePool::CreateCaptureSession(abi::IGraphicsCaptureItem* item,
                                                         abi::IGraphicsCaptureSession** result) {
  log_call("IDirect3D11CaptureFramePool::CreateCaptureSession()");
  if (result == nullptr) {
    return win::E_POINTER_;
  }
  *result = nullptr;
  if (auto fault = injected_fault("IDirect3D11CaptureFramePool::CreateCaptureSession")) {
    return *fault;
  }
  // Every item of the process is of the one backend built in.
  auto* ours = dynamic_cast<CaptureItem*>(item);
  if (ours == nullptr) {
    return win::E_INVALIDARG_;
  }
  {
    const std::lock_guard lock(mutex_);
    if (closed_) {
      return win::RO_E_CLOSED_;
    }
  }
  return hand_out(new_session(*ours), result);
}

HRESULT LUMIGRAB_STDCALL FramePool::get_DispatcherQueue(abi::IDispatcherQueue** value) {
  if (value == nullptr) {
    return win::E_POINTER_;
  }
  *value = nullptr;
  return win::E_NOTIMPL_;
}

HRESULT LUMIGRAB_STDCALL FramePool::Close() {
  log_call("IClosable::Close(FramePool)");
  if (auto fault = injected_fault("IClosable::Close(FramePool)")) {
    return *fault;
  }
  std::vector<std::pair<std::int64_t, ComPtr<abi::IFrameArrivedHandler>>> handlers;
  ComPtr<CaptureFrame> pending;
  ComPtr<abi::IDirect3DDevice> device;
  const std::lock_guard lock(mutex_);
  closed_ = true;
  handlers.swap(handlers_);
  pending.swap(pending_);
  device.swap(device_);
  return win::S_OK_;
}

void FramePool::raise_frame_arrived() {
  std::vector<ComPtr<abi::IFrameArrivedHandler>> handlers;
  {
    const std::lock_guard lock(mutex_);
    raising();
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

// --- activation factories ---

void* CaptureItemFactory::find_interface(const GUID& iid) noexcept {
  if (iid == abi::IID_IUnknown || iid == abi::IID_IInspectable ||
      iid == abi::IID_IActivationFactory) {
    return static_cast<abi::IActivationFactory*>(this);
  }
  if (iid == abi::IID_IGraphicsCaptureItemInterop && with_interop_) {
    return static_cast<abi::IGraphicsCaptureItemInterop*>(this);
  }
  return nullptr;
}

HRESULT LUMIGRAB_STDCALL CaptureItemFactory::ActivateInstance(abi::IInspectable** instance) {
  if (instance != nullptr) {
    *instance = nullptr;
  }
  return win::E_NOTIMPL_;
}

void* FramePoolStatics::find_interface(const GUID& iid) noexcept {
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

HRESULT LUMIGRAB_STDCALL FramePoolStatics::ActivateInstance(abi::IInspectable** instance) {
  if (instance != nullptr) {
    *instance = nullptr;
  }
  return win::E_NOTIMPL_;
}

HRESULT LUMIGRAB_STDCALL FramePoolStatics::Create(abi::IDirect3DDevice* device,
                                                  std::int32_t pixel_format,
                                                  std::int32_t number_of_buffers,
                                                  abi::SizeInt32 size,
                                                  abi::IDirect3D11CaptureFramePool** result) {
  const DWORD thread_id = current_thread_id();
  log_call("IDirect3D11CaptureFramePoolStatics::Create(" + std::to_string(pixel_format) + ", " +
           std::to_string(number_of_buffers) + ", " + size_text(size) +
           ", thread=" + code_text(thread_id) + ")");
  if (result == nullptr) {
    return win::E_POINTER_;
  }
  *result = nullptr;
  if (auto fault = injected_fault("IDirect3D11CaptureFramePoolStatics::Create")) {
    return *fault;
  }
  if (!accepts_device(device) || !is_capture_format(pixel_format) || number_of_buffers < 1 ||
      size.Width < 1 || size.Height < 1) {
    return win::E_INVALIDARG_;
  }
  // FrameArrived needs the creating thread's dispatcher queue.
  if (!thread_has_dispatcher_queue(thread_id)) {
    return kRpcWrongThread;
  }
  return hand_out(new_pool(thread_id, device, pixel_format, size, number_of_buffers), result);
}

}  // namespace lumigrab::posix
