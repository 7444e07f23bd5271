// The simulated Windows Runtime core: apartments, strings, activation
// factories and the dispatcher queue a thread binds to itself. The machinery
// is platform/posix's; here each call is logged and open to an injected
// fault, and the shared objects report their calls through the same hooks.
//
// Apartments follow the real rule: a thread may activate classes once it has
// called RoInitialize, or at any time after the process has become a user of
// the multithreaded apartment through CoIncrementMTAUsage.
#include "platform/posix/runtime.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "platform/simulated/sim_objects.h"

namespace lumigrab::sim {
namespace {

std::once_flag g_apartment_reset_hook;

void register_apartment_reset() {
  std::call_once(g_apartment_reset_hook, [] { on_reset([] { posix::reset_apartments(); }); });
}

// The shared runtime objects (async actions, queue controllers) log and fault
// like the simulated ones.
const bool g_hooks_installed = [] {
  posix::set_call_hooks({[](std::string entry) { log_call(std::move(entry)); },
                         [](std::string_view point) -> std::optional<HRESULT> {
                           if (auto fault = injected_fault(point)) {
                             return fault->result();
                           }
                           return std::nullopt;
                         }});
  return true;
}();

const char g_mta_cookie = 0;

}  // namespace

std::u16string_view hstring_text(abi::HSTRING string) noexcept {
  return posix::hstring_text(string);
}

std::string quoted(std::u16string_view text) {
  std::string out = "'";
  for (const char16_t unit : text) {
    if (unit >= 0x20 && unit < 0x7F) {
      out += static_cast<char>(unit);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(unit));
      out += escaped;
    }
  }
  return out + "'";
}

std::string iid_text(const GUID& iid) {
  static constexpr std::pair<const GUID*, const char*> kNames[] = {
      {&abi::IID_IUnknown, "IUnknown"},
      {&abi::IID_IInspectable, "IInspectable"},
      {&abi::IID_IAgileObject, "IAgileObject"},
      {&abi::IID_IActivationFactory, "IActivationFactory"},
      {&abi::IID_IClosable, "IClosable"},
      {&abi::IID_IGraphicsCaptureItemInterop, "IGraphicsCaptureItemInterop"},
      {&abi::IID_IGraphicsCaptureItem, "IGraphicsCaptureItem"},
      {&abi::IID_IDirect3D11CaptureFramePoolStatics, "IDirect3D11CaptureFramePoolStatics"},
      {&abi::IID_IDirect3D11CaptureFramePool, "IDirect3D11CaptureFramePool"},
  };
  for (const auto& [known, name] : kNames) {
    if (*known == iid) {
      return name;
    }
  }
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(iid.Data1), static_cast<unsigned>(iid.Data2),
                static_cast<unsigned>(iid.Data3), iid.Data4[0], iid.Data4[1], iid.Data4[2],
                iid.Data4[3], iid.Data4[4], iid.Data4[5], iid.Data4[6], iid.Data4[7]);
  return text;
}

std::optional<InjectedFault> injected_fault(std::string_view point) {
  std::optional<FaultSpec> spec = take_fault(point);
  if (!spec) {
    return std::nullopt;
  }
  if (spec->mode == FaultSpec::Mode::NoResult) {
    return InjectedFault{true, win::S_OK_};
  }
  leave_error_info(*spec);
  return InjectedFault{false, static_cast<HRESULT>(spec->code)};
}

bool thread_has_dispatcher_queue(DWORD thread_id) {
  return posix::thread_has_dispatcher_queue(thread_id);
}

bool post_to_dispatcher_queue(DWORD thread_id, std::function<void()> work) {
  return posix::post_to_dispatcher_queue(thread_id, std::move(work));
}

}  // namespace lumigrab::sim

namespace lumigrab::platform {

HRESULT RoInitialize(std::int32_t init_type) {
  sim::log_call("RoInitialize(" + std::to_string(init_type) + ")");
  if (auto fault = sim::injected_fault("RoInitialize")) {
    return fault->result();
  }
  sim::register_apartment_reset();
  return posix::initialize_apartment(init_type);
}

void RoUninitialize() {
  sim::log_call("RoUninitialize()");
  posix::uninitialize_apartment();
}

HRESULT WindowsCreateString(const WCHAR* source, UINT length, abi::HSTRING* string) {
  sim::log_call(
      "WindowsCreateString(" +
      (source == nullptr ? std::string("NULL") : sim::quoted(std::u16string_view(source, length))) +
      ", " + std::to_string(length) + ")");
  return posix::create_string(source, length, string);
}

HRESULT WindowsDeleteString(abi::HSTRING string) {
  sim::log_call("WindowsDeleteString(" +
                (string == nullptr ? std::string("NULL") : sim::quoted(sim::hstring_text(string))) +
                ")");
  posix::delete_string(string);
  return win::S_OK_;
}

HRESULT RoGetActivationFactory(abi::HSTRING class_id, const GUID& iid, void** factory) {
  const std::u16string_view class_name = sim::hstring_text(class_id);
  sim::log_call("RoGetActivationFactory(" + sim::quoted(class_name) + ", " + sim::iid_text(iid) +
                ")");
  if (factory == nullptr) {
    return win::E_POINTER_;
  }
  *factory = nullptr;
  if (class_id == nullptr) {
    return win::E_INVALIDARG_;
  }
  std::string fault_point = "RoGetActivationFactory(";
  for (const char16_t unit : class_name) {
    fault_point += static_cast<char>(unit < 0x80 ? unit : u'?');
  }
  if (auto fault = sim::injected_fault(fault_point + ")")) {
    return fault->result();
  }
  if (!posix::may_activate()) {
    return win::CO_E_NOTINITIALIZED_;
  }
  const ComPtr<abi::IActivationFactory> found = sim::make_capture_factory(class_name, true);
  if (!found) {
    return win::REGDB_E_CLASSNOTREG_;
  }
  return found->QueryInterface(iid, factory);
}

HRESULT CoIncrementMTAUsage(void** cookie) {
  sim::log_call("CoIncrementMTAUsage()");
  if (cookie == nullptr) {
    return win::E_INVALIDARG_;
  }
  *cookie = nullptr;
  if (auto fault = sim::injected_fault("CoIncrementMTAUsage")) {
    return fault->result();
  }
  sim::register_apartment_reset();
  posix::enter_process_mta();
  // An opaque token; the simulation never takes it back.
  *cookie = const_cast<char*>(&sim::g_mta_cookie);
  return win::S_OK_;
}

HRESULT CreateDispatcherQueueController(abi::DispatcherQueueOptions options,
                                        abi::IDispatcherQueueController** controller) {
  sim::log_call("CreateDispatcherQueueController(dwSize=" + std::to_string(options.dwSize) +
                ", threadType=" + std::to_string(options.threadType) +
                ", apartmentType=" + std::to_string(options.apartmentType) + ")");
  if (controller == nullptr) {
    return win::E_POINTER_;
  }
  *controller = nullptr;
  if (auto fault = sim::injected_fault("CreateDispatcherQueueController")) {
    return fault->result();
  }
  return posix::create_queue_controller(options, controller);
}

}  // namespace lumigrab::platform
