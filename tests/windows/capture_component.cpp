// A stand-in Windows.Graphics.Capture.dll for systems that have no capture
// runtime (Wine): its activation factory answers IGraphicsCaptureItemInterop
// and makes capture items of a fixed size, so that the capture thread can be
// started and seen to fail at the steps such a system cannot do.
//
// Exports DllGetActivationFactory, the entry point the module's library
// fallback looks for, and lumigrab_live_items, the number of items alive.
#include <atomic>
#include <cwchar>
#include <string_view>
#include <winstring.h>

#include "platform/abi.h"

namespace {

namespace abi = lumigrab::abi;
namespace win = lumigrab::win;

std::atomic<long> g_live_items{0};

constexpr abi::SizeInt32 kItemSize{64, 48};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

// Reference counting for an object of one or more interfaces; Self's last
// Release deletes it.
template <typename Self>
class Counted {
 protected:
  Counted() = default;
  ~Counted() = default;

  win::ULONG add_ref() { return references_.fetch_add(1) + 1; }
  win::ULONG release() {
    const win::ULONG left = references_.fetch_sub(1) - 1;
    if (left == 0) {
      delete static_cast<Self*>(this);
    }
    return left;
  }

 private:
  std::atomic<win::ULONG> references_{1};
};

class Item final : public abi::IGraphicsCaptureItem, Counted<Item> {
 public:
  Item() { ++g_live_items; }
  Item(const Item&) = delete;
  Item& operator=(const Item&) = delete;

  win::HRESULT LUMIGRAB_STDCALL QueryInterface(const win::GUID& iid, void** out) override {
    if (out == nullptr) {
      return win::E_POINTER_;
    }
    if (iid == abi::IID_IUnknown || iid == abi::IID_IInspectable || iid == abi::IID_IAgileObject ||
        iid == abi::IID_IGraphicsCaptureItem) {
      add_ref();
      *out = static_cast<abi::IGraphicsCaptureItem*>(this);
      return win::S_OK_;
    }
    *out = nullptr;
    return win::E_NOINTERFACE_;
  }
  win::ULONG LUMIGRAB_STDCALL AddRef() override { return add_ref(); }
  win::ULONG LUMIGRAB_STDCALL Release() override { return release(); }
  win::HRESULT LUMIGRAB_STDCALL GetIids(win::ULONG*, win::GUID**) override {
    return win::E_NOTIMPL_;
  }
  win::HRESULT LUMIGRAB_STDCALL GetRuntimeClassName(abi::HSTRING*) override {
    return win::E_NOTIMPL_;
  }
  win::HRESULT LUMIGRAB_STDCALL GetTrustLevel(std::int32_t* level) override {
    *level = 0;
    return win::S_OK_;
  }
  win::HRESULT LUMIGRAB_STDCALL get_DisplayName(abi::HSTRING*) override { return win::E_NOTIMPL_; }
  win::HRESULT LUMIGRAB_STDCALL get_Size(abi::SizeInt32* size) override {
    *size = kItemSize;
    return win::S_OK_;
  }

 private:
  friend Counted<Item>;
  ~Item() { --g_live_items; }
};

class Factory final : public abi::IActivationFactory,
                      public abi::IGraphicsCaptureItemInterop,
                      Counted<Factory> {
 public:
  Factory() = default;
  Factory(const Factory&) = delete;
  Factory& operator=(const Factory&) = delete;

  win::HRESULT LUMIGRAB_STDCALL QueryInterface(const win::GUID& iid, void** out) override {
    if (out == nullptr) {
      return win::E_POINTER_;
    }
    if (iid == abi::IID_IUnknown || iid == abi::IID_IInspectable ||
        iid == abi::IID_IActivationFactory || iid == abi::IID_IAgileObject) {
      add_ref();
      *out = static_cast<abi::IActivationFactory*>(this);
      return win::S_OK_;
    }
    if (iid == abi::IID_IGraphicsCaptureItemInterop) {
      add_ref();
      *out = static_cast<abi::IGraphicsCaptureItemInterop*>(this);
      return win::S_OK_;
    }
    *out = nullptr;
    return win::E_NOINTERFACE_;
  }
  win::ULONG LUMIGRAB_STDCALL AddRef() override { return add_ref(); }
  win::ULONG LUMIGRAB_STDCALL Release() override { return release(); }
  win::HRESULT LUMIGRAB_STDCALL GetIids(win::ULONG*, win::GUID**) override {
    return win::E_NOTIMPL_;
  }
  win::HRESULT LUMIGRAB_STDCALL GetRuntimeClassName(abi::HSTRING*) override {
    return win::E_NOTIMPL_;
  }
  win::HRESULT LUMIGRAB_STDCALL GetTrustLevel(std::int32_t* level) override {
    *level = 0;
    return win::S_OK_;
  }
  win::HRESULT LUMIGRAB_STDCALL ActivateInstance(abi::IInspectable**) override {
    return win::E_NOTIMPL_;
  }
  win::HRESULT LUMIGRAB_STDCALL CreateForWindow(win::HWND window, const win::GUID& iid,
                                                void** result) override {
    return create(window != nullptr, iid, result);
  }
  win::HRESULT LUMIGRAB_STDCALL CreateForMonitor(win::HMONITOR monitor, const win::GUID& iid,
                                                 void** result) override {
    return create(monitor != nullptr, iid, result);
  }

 private:
  friend Counted<Factory>;
  ~Factory() = default;

  static win::HRESULT create(bool has_target, const win::GUID& iid, void** result) {
    *result = nullptr;
    if (!has_target) {
      return win::E_INVALIDARG_;
    }
    auto* item = new Item;
    const win::HRESULT hr = item->QueryInterface(iid, result);
    item->Release();
    return hr;
  }
};

#pragma GCC diagnostic pop

bool is_item_class(HSTRING class_id) {
  UINT32 length = 0;
  const wchar_t* name = ::WindowsGetStringRawBuffer(class_id, &length);
  const std::u16string_view expected(abi::kGraphicsCaptureItemClass);
  return length == expected.size() &&
         std::wmemcmp(name, reinterpret_cast<const wchar_t*>(expected.data()), length) == 0;
}

}  // namespace

extern "C" __declspec(dllexport) HRESULT WINAPI
    DllGetActivationFactory(HSTRING class_id, abi::IActivationFactory** factory) {
  if (factory == nullptr) {
    return win::E_POINTER_;
  }
  *factory = nullptr;
  if (!is_item_class(class_id)) {
    return win::REGDB_E_CLASSNOTREG_;
  }
  *factory = new Factory;
  return win::S_OK_;
}

extern "C" __declspec(dllexport) long lumigrab_live_items() {
  return g_live_items.load();
}
