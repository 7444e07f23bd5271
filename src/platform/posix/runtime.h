// The Windows Runtime core for the POSIX backends: runtime strings,
// apartments, and the dispatcher queue a thread binds to itself, whose work
// items run inside that thread's DispatchMessageW.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/abi.h"
#include "platform/com_ptr.h"

namespace lumigrab::posix {

using namespace lumigrab::win;  // NOLINT(google-build-using-namespace)

inline constexpr HRESULT kIllegalStateChange = static_cast<HRESULT>(0x8000000DU);
inline constexpr HRESULT kIllegalMethodCall = static_cast<HRESULT>(0x8000000EU);
inline constexpr HRESULT kIllegalDelegateAssignment = static_cast<HRESULT>(0x80000018U);
inline constexpr HRESULT kRpcChangedMode = static_cast<HRESULT>(0x80010106U);
inline constexpr HRESULT kRpcWrongThread = static_cast<HRESULT>(0x8001010EU);

// --- runtime strings ---
HRESULT create_string(const WCHAR* source, UINT length, abi::HSTRING* string);
void delete_string(abi::HSTRING string);
std::u16string_view hstring_text(abi::HSTRING string) noexcept;

// --- apartments ---
// A thread may activate classes once it has called RoInitialize, or at any
// time after the process has become a user of the multithreaded apartment.
HRESULT initialize_apartment(std::int32_t init_type);
void uninitialize_apartment();
void enter_process_mta();
bool may_activate();
// RoGetActivationFactory for a backend whose classes `make` builds by name:
// the out-pointer and apartment checks, then the interface `iid` of the
// factory found (REGDB_E_CLASSNOTREG when `make` knows no such class).
HRESULT get_activation_factory(
    abi::HSTRING class_id, const GUID& iid, void** factory,
    ComPtr<abi::IActivationFactory> (*make)(std::u16string_view class_name));
// Forgets every thread's apartment and the process's MTA use at once.
void reset_apartments();

// --- dispatcher queues ---
// CreateDispatcherQueueController for the calling thread, after the caller's
// own checks of `options` and out-pointer.
HRESULT create_queue_controller(const abi::DispatcherQueueOptions& options,
                                abi::IDispatcherQueueController** controller);
bool thread_has_dispatcher_queue(DWORD thread_id);
// Queues `work` to run inside `thread_id`'s DispatchMessageW; false when that
// thread has no message queue (and `work` is dropped).
bool post_to_dispatcher_queue(DWORD thread_id, std::function<void()> work);

}  // namespace lumigrab::posix
