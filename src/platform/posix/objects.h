// What the COM and Windows Runtime objects of the POSIX backends share: live
// counts, reference counting and QueryInterface, and the hooks through which
// a backend watches the calls made on the objects this directory provides.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/abi.h"
#include "platform/com_ptr.h"

namespace lumigrab::posix {

using namespace lumigrab::win;  // NOLINT(google-build-using-namespace)

// --- live objects ---
void count_live(std::string_view kind, int delta);
// The kinds whose count is not zero.
std::map<std::string, long> live_counts();

// --- misuses ---
// Calls that Windows documents as wrong and that would go wrong there at
// random (two threads in one immediate context, runtime objects released
// after the thread left its apartment): recorded, with what happened, rather
// than crashing the simulation. Kept until cleared.
void record_misuse(std::string what);
std::vector<std::string> misuses();
void clear_misuses();

// Whether the calling thread initialised the Windows Runtime and has since
// uninitialised it as often: its runtime objects must be gone by then.
bool apartment_left();

// --- call hooks ---
// The simulated desktop logs the calls made on shared objects and may make
// them fail; other backends install nothing. `fault` answers with the result
// the call gives instead of doing its work (out-parameters stay null).
struct CallHooks {
  std::function<void(std::string)> log;
  std::function<std::optional<HRESULT>(std::string_view point)> fault;
};
void set_call_hooks(CallHooks hooks);
void log_call(std::string entry);
std::optional<HRESULT> injected_fault(std::string_view point);
// Call-log forms of arguments: "0x" and upper-case hexadecimal for codes and
// flags; a size as {width, height}.
std::string code_text(std::uint64_t value);
std::string size_text(abi::SizeInt32 size);
// A pointer in lower-case hexadecimal, or NULL.
std::string pointer_text(const void* pointer);

// Reference counting, QueryInterface and the live count of one kind of
// object. `Derived` names its kind in `kKind` and maps interface ids to its
// interface pointers in `find_interface` (null when not answered); the first
// interface listed stands for IUnknown.
//
// The interface bases have public non-virtual destructors of their own (they
// must not grow destructor slots), but nothing deletes through them: only
// Release deletes, through this class's virtual destructor.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
template <typename Derived, typename... Interfaces>
class ComObject : public Interfaces... {
 public:
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  HRESULT LUMIGRAB_STDCALL QueryInterface(const GUID& iid, void** out) override {
    if (out == nullptr) {
      return win::E_POINTER_;
    }
    *out = static_cast<Derived*>(this)->find_interface(iid);
    if (*out == nullptr) {
      return win::E_NOINTERFACE_;
    }
    AddRef();
    return win::S_OK_;
  }

  ULONG LUMIGRAB_STDCALL AddRef() override {
    return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
  }

  ULONG LUMIGRAB_STDCALL Release() override {
    const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) {
      delete this;
    }
    return left;
  }

  // Adds a reference unless the object is already on its way out: for
  // registries that list objects without owning them.
  bool try_add_ref() noexcept {
    ULONG refs = refs_.load(std::memory_order_relaxed);
    while (refs != 0) {
      if (refs_.compare_exchange_weak(refs, refs + 1, std::memory_order_acq_rel)) {
        return true;
      }
    }
    return false;
  }

 protected:
  ComObject() { count_live(Derived::kKind, 1); }
  virtual ~ComObject() { count_live(Derived::kKind, -1); }

 private:
  std::atomic<ULONG> refs_{1};
};
#pragma GCC diagnostic pop

// A ComObject whose interfaces derive from IInspectable: a Windows Runtime
// object, which a thread must release before its last RoUninitialize.
template <typename Derived, typename... Interfaces>
class InspectableObject : public ComObject<Derived, Interfaces...> {
 public:
  InspectableObject(const InspectableObject&) = delete;
  InspectableObject& operator=(const InspectableObject&) = delete;
  ~InspectableObject() override {
    if (apartment_left()) {
      record_misuse(std::string(Derived::kKind) + " released after RoUninitialize");
    }
  }

  HRESULT LUMIGRAB_STDCALL GetIids(ULONG* count, GUID** iids) override {
    if (count == nullptr || iids == nullptr) {
      return win::E_POINTER_;
    }
    *count = 0;
    *iids = nullptr;
    return win::S_OK_;
  }
  HRESULT LUMIGRAB_STDCALL GetRuntimeClassName(abi::HSTRING* name) override {
    if (name != nullptr) {
      *name = nullptr;
    }
    return win::E_NOTIMPL_;
  }
  HRESULT LUMIGRAB_STDCALL GetTrustLevel(std::int32_t* level) override {
    if (level == nullptr) {
      return win::E_POINTER_;
    }
    *level = 0;
    return win::S_OK_;
  }

 protected:
  InspectableObject() = default;
};

// A new object of type T, owned by the returned pointer.
template <typename T, typename... Args>
ComPtr<T> make_object(Args&&... args) {
  return ComPtr<T>::attach(new T(std::forward<Args>(args)...));
}

// `object` as a pointer to one of its bases.
template <typename To, typename T>
ComPtr<To> upcast(ComPtr<T> object) noexcept {
  return ComPtr<To>::attach(object.detach());
}

// Hands the caller a reference of its own to `object` as interface I.
template <typename I, typename T>
HRESULT hand_out(ComPtr<T> object, I** out) noexcept {
  *out = static_cast<I*>(object.detach());
  return win::S_OK_;
}

}  // namespace lumigrab::posix
