// The simulated capture engine's common ground: how its COM and Windows
// Runtime objects count references, answer QueryInterface and show up in the
// live counts, how an armed fault turns into a call's result, and what the
// engine's files offer one another.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/abi.h"
#include "platform/com_ptr.h"
#include "platform/simulated/sim_core.h"

namespace lumigrab::sim {

// Codes the simulated runtime answers with, beyond those of win_types.h.
inline constexpr HRESULT kIllegalStateChange = static_cast<HRESULT>(0x8000000DU);
inline constexpr HRESULT kIllegalMethodCall = static_cast<HRESULT>(0x8000000EU);
inline constexpr HRESULT kIllegalDelegateAssignment = static_cast<HRESULT>(0x80000018U);
inline constexpr HRESULT kRpcChangedMode = static_cast<HRESULT>(0x80010106U);
inline constexpr HRESULT kRpcWrongThread = static_cast<HRESULT>(0x8001010EU);
inline constexpr HRESULT kDxgiUnsupported = static_cast<HRESULT>(0x887A0004U);

// --- injected faults ---

// What an armed fault makes an HRESULT call do instead of its work.
struct InjectedFault {
  bool no_result = false;  // report success, hand back nothing
  HRESULT code = 0;        // otherwise: return this

  // The call's result; out-parameters stay null.
  HRESULT result() const noexcept { return no_result ? win::S_OK_ : code; }
};

// Consumes the fault armed at `point`, if any. A failing fault with a message
// leaves that message on the calling thread as error information first.
std::optional<InjectedFault> injected_fault(std::string_view point);

// --- objects ---

// Reference counting, QueryInterface and the live count of one kind of
// simulated object. `Derived` names its kind in `kKind` and maps interface ids
// to its interface pointers in `find_interface` (null when not answered); the
// first interface listed stands for IUnknown.
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

// A ComObject whose interfaces derive from IInspectable.
template <typename Derived, typename... Interfaces>
class InspectableObject : public ComObject<Derived, Interfaces...> {
 public:
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

// Hands the caller a reference of its own to `object` as interface I.
template <typename I, typename T>
HRESULT hand_out(ComPtr<T> object, I** out) noexcept {
  *out = static_cast<I*>(object.detach());
  return win::S_OK_;
}

// --- what the engine's files offer one another ---

// Runtime (runtime.cpp).
std::u16string_view hstring_text(abi::HSTRING string) noexcept;
// Call-log forms of arguments: "0x" and upper-case hexadecimal for codes and
// flags; text between single quotes, other than printable ASCII as \uXXXX;
// an interface by its name; a size as {width, height}.
std::string code_text(std::uint64_t value);
std::string quoted(std::u16string_view text);
std::string iid_text(const GUID& iid);
std::string size_text(abi::SizeInt32 size);
// Whether `thread_id` runs a dispatcher queue that is not shut down.
bool thread_has_dispatcher_queue(DWORD thread_id);
// Queues `work` to run inside `thread_id`'s DispatchMessageW; false when that
// thread has no message queue (and `work` is dropped).
bool post_to_dispatcher_queue(DWORD thread_id, std::function<void()> work);

// Direct3D (d3d.cpp).
// `height` rows of `row_pitch` bytes each.
struct PixelRows {
  std::uint32_t row_pitch = 0;
  std::vector<std::uint8_t> bytes;
};
// A GPU texture that shows `rows`, which it shares and never changes.
ComPtr<abi::ID3D11Texture2D> make_shown_texture(std::int32_t width, std::int32_t height,
                                                std::int32_t pixel_format,
                                                std::shared_ptr<const PixelRows> rows);
bool is_simulated_direct3d_device(abi::IDirect3DDevice* device) noexcept;
// Frees the shown rows that textures released since the last call.
void free_retired_rows();

// Capture (capture.cpp).
// The activation factory of a capture class, or null for any other class;
// `with_interop` decides whether the item class's factory answers
// IGraphicsCaptureItemInterop.
ComPtr<abi::IActivationFactory> make_capture_factory(std::u16string_view class_name,
                                                     bool with_interop);
// Makes `name` a loadable library whose DllGetActivationFactory gives out the
// capture classes' factories.
void register_capture_library(const std::string& name, bool with_interop);

}  // namespace lumigrab::sim
