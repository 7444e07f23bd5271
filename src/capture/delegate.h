// The COM identity shared by the delegates the module hands to the platform:
// an atomic count that starts at 1, and QueryInterface answering IUnknown,
// IAgileObject and the delegate's own interface.
#pragma once

#include <atomic>

#include "platform/abi.h"

namespace lumigrab::capture {

// The ABI interfaces have no virtual destructor, and must not grow one; a
// delegate is only ever deleted by its own Release, as its most derived type.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

// Self derives from Delegate<Self, Interface, kIid> and is always made with
// new; the last Release deletes it.
template <typename Self, typename Interface, const win::GUID& kIid>
class Delegate : public Interface {
 public:
  Delegate(const Delegate&) = delete;
  Delegate& operator=(const Delegate&) = delete;

  win::HRESULT LUMIGRAB_STDCALL QueryInterface(const win::GUID& iid, void** out) override {
    // Callers across the ABI can pass a null id despite the reference type;
    // reading the address through a volatile keeps the test from being
    // optimised away.
    const win::GUID* volatile requested = &iid;
    if (requested == nullptr || out == nullptr) {
      return win::E_POINTER_;
    }
    if (iid == abi::IID_IUnknown || iid == abi::IID_IAgileObject || iid == kIid) {
      *out = static_cast<Interface*>(this);
      AddRef();
      return win::S_OK_;
    }
    *out = nullptr;
    return win::E_NOINTERFACE_;
  }

  win::ULONG LUMIGRAB_STDCALL AddRef() override {
    return count_.fetch_add(1, std::memory_order_relaxed) + 1;
  }

  win::ULONG LUMIGRAB_STDCALL Release() override {
    const win::ULONG remaining = count_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (remaining == 0) {
      delete static_cast<Self*>(this);
    }
    return remaining;
  }

 protected:
  Delegate() = default;
  ~Delegate() = default;

 private:
  std::atomic<win::ULONG> count_{1};
};

#pragma GCC diagnostic pop

}  // namespace lumigrab::capture
