#include "platform/posix/runtime.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/posix/messages.h"
#include "platform/posix/objects.h"
#include "platform/posix/process.h"

namespace lumigrab::abi {

struct HSTRING__ {
  explicit HSTRING__(std::u16string value) : text(std::move(value)) {
    posix::count_live("hstring", 1);
  }
  HSTRING__(const HSTRING__&) = delete;
  HSTRING__& operator=(const HSTRING__&) = delete;
  ~HSTRING__() { posix::count_live("hstring", -1); }

  const std::u16string text;
};

}  // namespace lumigrab::abi

namespace lumigrab::posix {
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

struct ThreadApartment {
  std::uint64_t epoch = 0;
  int initializations = 0;
  std::int32_t type = kRoInitMultiThreaded;
  bool initialized_once = false;
};
thread_local ThreadApartment t_apartment;

ThreadApartment& thread_apartment() {
  const std::uint64_t epoch = g_apartment_epoch.load();
  if (t_apartment.epoch != epoch) {
    t_apartment = ThreadApartment{epoch, 0, kRoInitMultiThreaded, false};
  }
  return t_apartment;
}

// --- dispatcher queues ---

// Threads that run a dispatcher queue, with the controller that made it.
// Never destroyed: controllers may go away on threads that outlive static
// destruction.
struct QueueOwners {
  std::mutex mutex;
  std::map<DWORD, const void*> owners;
};

QueueOwners& queue_owners() {
  static QueueOwners* const instance = [] {
    auto* made = new QueueOwners();
    hold_across_fork(made->mutex);
    return made;
  }();
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

// What a dispatcher queue shutdown keeps alive until it completes: on
// Windows its controller, queue, action and completion handler stay for the
// rest of the process when the thread stops pumping before that.
class ShutdownWork {
 public:
  explicit ShutdownWork(std::vector<ComPtr<abi::IUnknown>> held) : held_(std::move(held)) {}
  ShutdownWork(const ShutdownWork&) = delete;
  ShutdownWork& operator=(const ShutdownWork&) = delete;
  ~ShutdownWork() {
    if (!ran_) {
      static auto* const stranded = new std::vector<ComPtr<abi::IUnknown>>();
      static std::mutex* const stranded_mutex = new std::mutex();
      const std::lock_guard lock(*stranded_mutex);
      for (auto& object : held_) {
        stranded->push_back(std::move(object));
      }
    }
  }

  void ran() noexcept { ran_ = true; }

 private:
  std::vector<ComPtr<abi::IUnknown>> held_;
  bool ran_ = false;
};

class AsyncAction final : public InspectableObject<AsyncAction, abi::IAsyncAction> {
 public:
  static constexpr std::string_view kKind = "async_action";

  void* find_interface(const GUID& iid) noexcept {
    if (iid == abi::IID_IUnknown || iid == abi::IID_IInspectable || iid == abi::IID_IAsyncAction) {
      return static_cast<abi::IAsyncAction*>(this);
    }
    return nullptr;
  }

  HRESULT LUMIGRAB_STDCALL put_Completed(abi::IAsyncActionCompletedHandler* handler) override {
    log_call("IAsyncAction::put_Completed()");
    if (auto fault = injected_fault("IAsyncAction::put_Completed")) {
      return *fault;
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
  ~QueueController() override {
    end_queue(thread_id_, this);
    // The last reference goes on the queue's thread or one that holds the
    // controller, never on the completing thread, which holds only the action.
    if (completer_.joinable()) {
      completer_.join();
    }
  }

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

  // The queue finishes when its thread next dispatches: the shutdown is a
  // work item like any other, so a thread that never pumps again never sees
  // it, and the controller, the action and its handler then stay alive. The
  // action then completes on another thread, as nothing promises that it
  // completes on the queue's own: its handler must wake the queue's thread
  // itself.
  HRESULT LUMIGRAB_STDCALL ShutdownQueueAsync(abi::IAsyncAction** operation) override {
    log_call("IDispatcherQueueController::ShutdownQueueAsync()");
    if (operation == nullptr) {
      return win::E_POINTER_;
    }
    *operation = nullptr;
    if (auto fault = injected_fault("IDispatcherQueueController::ShutdownQueueAsync")) {
      return *fault;
    }
    const std::lock_guard lock(mutex_);
    if (!shutdown_) {
      shutdown_ = make_object<AsyncAction>();
      std::vector<ComPtr<abi::IUnknown>> held;
      held.push_back(
          ComPtr<abi::IUnknown>::copy(static_cast<abi::IDispatcherQueueController*>(this)));
      held.push_back(ComPtr<abi::IUnknown>::copy(static_cast<abi::IAsyncAction*>(shutdown_.get())));
      const auto work = std::make_shared<ShutdownWork>(std::move(held));
      const bool posted = post_to_dispatcher_queue(
          thread_id_, [action = shutdown_, thread_id = thread_id_, controller = this, work] {
            work->ran();
            end_queue(thread_id, controller);
            // The work item holds the controller, so it is alive here.
            controller->completer_ = std::thread([action] { action->complete(); });
          });
      if (!posted) {
        work->ran();
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
  // Completes the action; set once, on the queue's thread.
  std::thread completer_;
};

}  // namespace

HRESULT create_string(const WCHAR* source, UINT length, abi::HSTRING* string) {
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

void delete_string(abi::HSTRING string) {
  const std::unique_ptr<abi::HSTRING__> owned(string);
}

std::u16string_view hstring_text(abi::HSTRING string) noexcept {
  return string == nullptr ? std::u16string_view() : std::u16string_view(string->text);
}

HRESULT initialize_apartment(std::int32_t init_type) {
  if (init_type != kRoInitSingleThreaded && init_type != kRoInitMultiThreaded) {
    return win::E_INVALIDARG_;
  }
  ThreadApartment& apartment = thread_apartment();
  if (apartment.initializations > 0 && apartment.type != init_type) {
    return kRpcChangedMode;
  }
  apartment.type = init_type;
  apartment.initialized_once = true;
  return ++apartment.initializations == 1 ? win::S_OK_ : win::S_FALSE_;
}

void uninitialize_apartment() {
  ThreadApartment& apartment = thread_apartment();
  if (apartment.initializations > 0) {
    --apartment.initializations;
  }
}

bool apartment_left() {
  const ThreadApartment& apartment = thread_apartment();
  return apartment.initialized_once && apartment.initializations == 0;
}

void enter_process_mta() {
  g_process_in_mta.store(true);
}

bool may_activate() {
  return thread_apartment().initializations > 0 || g_process_in_mta.load();
}

HRESULT get_activation_factory(
    abi::HSTRING class_id, const GUID& iid, void** factory,
    ComPtr<abi::IActivationFactory> (*make)(std::u16string_view class_name)) {
  if (factory == nullptr) {
    return win::E_POINTER_;
  }
  *factory = nullptr;
  if (class_id == nullptr) {
    return win::E_INVALIDARG_;
  }
  if (!may_activate()) {
    return win::CO_E_NOTINITIALIZED_;
  }
  const ComPtr<abi::IActivationFactory> found = make(hstring_text(class_id));
  if (!found) {
    return win::REGDB_E_CLASSNOTREG_;
  }
  return found->QueryInterface(iid, factory);
}

void reset_apartments() {
  g_apartment_epoch.fetch_add(1);
  g_process_in_mta.store(false);
}

HRESULT create_queue_controller(const abi::DispatcherQueueOptions& options,
                                abi::IDispatcherQueueController** controller) {
  if (options.dwSize != sizeof(abi::DispatcherQueueOptions) ||
      options.apartmentType != abi::DQTAT_COM_NONE) {
    return win::E_INVALIDARG_;
  }
  if (options.threadType != abi::DQTYPE_THREAD_CURRENT) {
    return win::E_NOTIMPL_;  // only queues on the calling thread are offered
  }
  const DWORD thread_id = current_thread_id();
  ensure_message_queue();
  auto made = make_object<QueueController>(thread_id);
  {
    QueueOwners& queues = queue_owners();
    const std::lock_guard lock(queues.mutex);
    // One queue per thread: a second controller is refused while the first lives.
    if (!queues.owners.try_emplace(thread_id, made.get()).second) {
      return kIllegalStateChange;
    }
  }
  return hand_out(std::move(made), controller);
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

}  // namespace lumigrab::posix
