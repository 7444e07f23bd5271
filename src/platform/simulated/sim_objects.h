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
#include "platform/posix/objects.h"
#include "platform/posix/runtime.h"
#include "platform/simulated/sim_core.h"

namespace lumigrab::posix {
class DeviceShared;
}  // namespace lumigrab::posix

namespace lumigrab::sim {

// Codes the simulated runtime answers with, beyond those of win_types.h.
inline constexpr HRESULT kIllegalStateChange = posix::kIllegalStateChange;
inline constexpr HRESULT kIllegalMethodCall = posix::kIllegalMethodCall;
inline constexpr HRESULT kIllegalDelegateAssignment = posix::kIllegalDelegateAssignment;
inline constexpr HRESULT kRpcChangedMode = posix::kRpcChangedMode;
inline constexpr HRESULT kRpcWrongThread = posix::kRpcWrongThread;
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

// Reference counting, QueryInterface and the live count of the engine's
// objects, shared with the other POSIX backends.
using posix::ComObject;
using posix::hand_out;
using posix::InspectableObject;
using posix::make_object;

// --- what the engine's files offer one another ---

// Runtime (runtime.cpp).
std::u16string_view hstring_text(abi::HSTRING string) noexcept;
// Call-log forms of arguments: "0x" and upper-case hexadecimal for codes and
// flags; text between single quotes, other than printable ASCII as \uXXXX;
// an interface by its name; a size as {width, height}.
using posix::code_text;
std::string quoted(std::u16string_view text);
std::string iid_text(const GUID& iid);
using posix::size_text;
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
// A GPU texture of `device` (the frame pool's) that shows `rows`, which it
// shares and never changes.
ComPtr<abi::ID3D11Texture2D> make_shown_texture(abi::IDirect3DDevice* device, std::int32_t width,
                                                std::int32_t height, std::int32_t pixel_format,
                                                std::shared_ptr<const PixelRows> rows);
// A frame pool's buffer: shows `rows` from now on, replacing what it showed,
// whoever still holds it.
void show_in_texture(abi::ID3D11Texture2D* texture, std::shared_ptr<const PixelRows> rows);
bool is_simulated_direct3d_device(abi::IDirect3DDevice* device) noexcept;
// What the simulated device behind `device` shares with its immediate context.
std::shared_ptr<posix::DeviceShared> device_shared(abi::IDirect3DDevice* device);
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
