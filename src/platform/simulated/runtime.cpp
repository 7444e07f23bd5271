// The simulated Windows Runtime core: apartments, strings, activation
// factories and the dispatcher queue a thread binds to itself.
//
// Apartments follow the real rule: a thread may activate classes once it has
// called RoInitialize, or at any time after the process has become a user of
// the multithreaded apartment through CoIncrementMTAUsage.
#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "platform/simulated/sim_objects.h"

namespace lumigrab::abi {

struct HSTRING__ {
  explicit HSTRING__(std::u16string value) : text(std::move(value)) {
    sim::count_live("hstring", 1);
  }
  HSTRING__(const HSTRING__&) = delete;
  HSTRING__& operator=(const HSTRING__&) = delete;
  ~HSTRING__() { sim::count_live("hstring", -1); }

  const std::u16string text;
};

}  // namespace lumigrab::abi

namespace lumigrab::sim {
namespace {

constexpr std::int32_t kRoInitSingleThreaded = 0;
constexpr std::int32_t kRoInitMultiThreaded = 1;
// The message a thread's dispatcher queue runs its work items under.
constexpr UINT kDispatcherQueueMessage = 0x8000;  // WM_APP

// --- apartments ---

// A reset turns every thread's apartment state stale at once, without
// touching the threads.
std::atomic<std::uint64_t> g_apartment_epoch{1};
std::atomic<bool> g_process_in_mta{false};
std::once_flag g_apartment_reset_hook;

struct ThreadApartment {
  std::uint64_t epoch = 0;
  int initializations = 0;
  std::int32_t type = kRoInitMultiThreaded;
};
thread_local ThreadApartment t_apartment;

ThreadApartment& thread_apartment() {
  const std::uint64_t epoch = g_apartment_epoch.load();
  if (t_apartment.epoch != epoch) {
    t_apartment = ThreadApartment{epoch, 0, kRoInitMultiThreaded};
  }
  return t_apartment;
}

void register_apartment_reset() {
  std::call_once(g_apartment_reset_hook, [] {
    on_reset([] {
      g_apartment_epoch.fetch_add(1);
      g_process_in_mta.store(false);
    });
  });
}

bool may_activate() { return thread_apartment().initializations > 0 || g_process_in_mta.load(); }

// --- dispatcher queues ---

// Threads that run a dispatcher queue, with the controller that made it.
// Never destroyed: controllers may go away on threads that outlive static
// destruction.
struct QueueOwners {
  std::mutex mutex;
  std::map<DWORD, const void*> owners;
};

QueueOwners& queue_owners() {
  static QueueOwners* const instance = new QueueOwners();
  return *instance;
}

void end_queue(DWORD thread_id, const void* controller) {
  QueueOwners& queues = queue_owners();
  const std::lock_guard lock(queues.mutex);
  const auto found = queues.owners.find(thread_id);
  if (found != queues.owners.end() && found->second == controller) {
    queues.owners.erase(found);
  }
}

class AsyncAction final : public InspectableObject<AsyncAction, abi::IAsyncAction> {
 public:
  static constexpr std::string_view kKind = "async_action";

  void* find_interface(const GUID& iid) noexcept {
    if (iid == abi::IID_IUnknown || iid == abi::IID_IInspectable ||
        iid == abi::IID_IAsyncAction) {
      return static_cast<abi::IAsyncAction*>(this);
    }
    return nullptr;
  }

  HRESULT LUMIGRAB_STDCALL put_Completed(abi::IAsyncActionCompletedHandler* handler) override {
    log_call("IAsyncAction::put_Completed()");
    if (auto fault = injected_fault("IAsyncAction::put_Completed")) {
      return fault->result();
    }
    if (handler == nullptr) {
      return win::E_INVALIDARG_;
    }
    auto held = ComPtr<abi::IAsyncActionCompletedHandler>::copy(handler);
    {
      const std::lock_guard lock(mutex_);
      if (handler_assigned_) {
        return kIllegalDelegateAssignment;
      }
      handler_assigned_ = true;
      if (status_ == abi::AsyncStatus_Started) {
        handler_ = std::move(held);
        return win::S_OK_;
      }
    }
    // An action that has already completed calls a late handler at once.
    held->Invoke(this, abi::AsyncStatus_Completed);
    return win::S_OK_;
  }

  HRESULT LUMIGRAB_STDCALL get_Completed(abi::IAsyncActionCompletedHandler** handler) override {
    if (handler == nullptr) {
      return win::E_POINTER_;
    }
    const std::lock_guard lock(mutex_);
    *handler = ComPtr(handler_).detach();
    return win::S_OK_;
  }

  HRESULT LUMIGRAB_STDCALL GetResults() override {
    const std::lock_guard lock(mutex_);
    return status_ == abi::AsyncStatus_Completed ? win::S_OK_ : kIllegalMethodCall;
  }

  void complete() {
    ComPtr<abi::IAsyncActionCompletedHandler> handler;
    {
      const std::lock_guard lock(mutex_);
      status_ = abi::AsyncStatus_Completed;
      handler = std::move(handler_);
    }
    if (handler) {
      handler->Invoke(this, abi::AsyncStatus_Completed);
    }
  }

 private:
  std::mutex mutex_;
  abi::AsyncStatus status_ = abi::AsyncStatus_Started;
  bool handler_assigned_ = false;
  ComPtr<abi::IAsyncActionCompletedHandler> handler_;
};

class QueueController final
    : public InspectableObject<QueueController, abi::IDispatcherQueueController> {
 public:
  static constexpr std::string_view kKind = "controller";

  explicit QueueController(DWORD thread_id) : thread_id_(thread_id) {}
  QueueController(const QueueController&) = delete;
  QueueController& operator=(const QueueController&) = delete;
  ~QueueController() override { end_queue(thread_id_, this); }

  void* find_interface(const GUID& iid) noexcept {
    if (iid == abi::IID_IUnknown || iid == abi::IID_IInspectable ||
        iid == abi::IID_IDispatcherQueueController) {
      return static_cast<abi::IDispatcherQueueController*>(this);
    }
    return nullptr;
  }

  HRESULT LUMIGRAB_STDCALL get_DispatcherQueue(abi::IDispatcherQueue** value) override {
    if (value == nullptr) {
      return win::E_POINTER_;
    }
    *value = nullptr;
    return win::E_NOTIMPL_;
  }

  // The queue finishes when its thread next dispatches: the completion is a
  // work item like any other, so a thread that never pumps again never sees it.
  HRESULT LUMIGRAB_STDCALL ShutdownQueueAsync(abi::IAsyncAction** operation) override {
    log_call("IDispatcherQueueController::ShutdownQueueAsync()");
    if (operation == nullptr) {
      return win::E_POINTER_;
    }
    *operation = nullptr;
    if (auto fault = injected_fault("IDispatcherQueueController::ShutdownQueueAsync")) {
      return fault->result();
    }
    const std::lock_guard lock(mutex_);
    if (!shutdown_) {
      shutdown_ = make_object<AsyncAction>();
      const bool posted = post_to_dispatcher_queue(
          thread_id_, [action = shutdown_, thread_id = thread_id_, controller = this] {
            end_queue(thread_id, controller);
            action->complete();
          });
      if (!posted) {
        end_queue(thread_id_, this);
        shutdown_->complete();
      }
    }
    return hand_out(shutdown_, operation);
  }

 private:
  const DWORD thread_id_;
  std::mutex mutex_;
  ComPtr<AsyncAction> shutdown_;
};

// --- activation ---

const char g_mta_cookie = 0;

}  // namespace

std::u16string_view hstring_text(abi::HSTRING string) noexcept {
  return string == nullptr ? std::u16string_view() : std::u16string_view(string->text);
}

std::string code_text(std::uint64_t value) {
  std::ostringstream out;
  out << "0x" << std::uppercase << std::hex << value;
  return out.str();
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

std::string size_text(abi::SizeInt32 size) {
  return "{" + std::to_string(size.Width) + ", " + std::to_string(size.Height) + "}";
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
  QueueOwners& queues = queue_owners();
  const std::lock_guard lock(queues.mutex);
  return queues.owners.contains(thread_id);
}

bool post_to_dispatcher_queue(DWORD thread_id, std::function<void()> work) {
  MSG msg{};
  msg.message = kDispatcherQueueMessage;
  return post_thread_message(thread_id, msg, std::move(work));
}

}  // namespace lumigrab::sim

namespace lumigrab::platform {

HRESULT RoInitialize(std::int32_t init_type) {
  sim::log_call("RoInitialize(" + std::to_string(init_type) + ")");
  if (auto fault = sim::injected_fault("RoInitialize")) {
    return fault->result();
  }
  if (init_type != sim::kRoInitSingleThreaded && init_type != sim::kRoInitMultiThreaded) {
    return win::E_INVALIDARG_;
  }
  sim::register_apartment_reset();
  sim::ThreadApartment& apartment = sim::thread_apartment();
  if (apartment.initializations > 0 && apartment.type != init_type) {
    return sim::kRpcChangedMode;
  }
  apartment.type = init_type;
  return ++apartment.initializations == 1 ? win::S_OK_ : win::S_FALSE_;
}

void RoUninitialize() {
  sim::log_call("RoUninitialize()");
  sim::ThreadApartment& apartment = sim::thread_apartment();
  if (apartment.initializations > 0) {
    --apartment.initializations;
  }
}

HRESULT WindowsCreateString(const WCHAR* source, UINT length, abi::HSTRING* string) {
  sim::log_call("WindowsCreateString(" +
                (source == nullptr ? std::string("NULL")
                                   : sim::quoted(std::u16string_view(source, length))) +
                ", " + std::to_string(length) + ")");
  if (string == nullptr) {
    return win::E_INVALIDARG_;
  }
  *string = nullptr;
  if (length == 0) {
    return win::S_OK_;  // the empty string is the null handle
  }
  if (source == nullptr) {
    return win::E_POINTER_;
  }
  *string = std::make_unique<abi::HSTRING__>(std::u16string(source, length)).release();
  return win::S_OK_;
}

HRESULT WindowsDeleteString(abi::HSTRING string) {
  sim::log_call("WindowsDeleteString(" +
                (string == nullptr ? std::string("NULL") : sim::quoted(string->text)) + ")");
  const std::unique_ptr<abi::HSTRING__> owned(string);
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
  if (!sim::may_activate()) {
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
  sim::g_process_in_mta.store(true);
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
  if (options.dwSize != sizeof(abi::DispatcherQueueOptions) ||
      options.apartmentType != abi::DQTAT_COM_NONE) {
    return win::E_INVALIDARG_;
  }
  if (options.threadType != abi::DQTYPE_THREAD_CURRENT) {
    return win::E_NOTIMPL_;  // dedicated queue threads are not simulated
  }
  const DWORD thread_id = sim::current_thread_id();
  sim::ensure_message_queue();
  auto made = sim::make_object<sim::QueueController>(thread_id);
  {
    sim::QueueOwners& queues = sim::queue_owners();
    const std::lock_guard lock(queues.mutex);
    // One queue per thread: a second controller is refused while the first lives.
    if (!queues.owners.try_emplace(thread_id, made.get()).second) {
      return sim::kIllegalStateChange;
    }
  }
  return sim::hand_out(std::move(made), controller);
}

}  // namespace lumigrab::platform
