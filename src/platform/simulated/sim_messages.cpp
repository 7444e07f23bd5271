// Thread message queues, threads and the process, as user32 and kernel32
// offer them.
#include <execinfo.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <system_error>

#include "platform/platform.h"
#include "platform/simulated/sim_core.h"
#include "platform/simulated/sim_internal.h"

namespace lumigrab::sim {
namespace {

using detail::handle_text;
using detail::hex;

struct Posted {
  MSG msg;
  std::function<void()> dispatch;
};

struct Queue {
  explicit Queue(DWORD owner) : thread_id(owner) {}

  const DWORD thread_id;
  std::mutex mutex;
  std::condition_variable arrived;
  std::deque<Posted> posted;
  // PostQuitMessage only raises a flag: WM_QUIT comes once nothing else is
  // posted, whatever was posted after it.
  std::optional<int> quit_code;
  bool closed = false;
  // Dispatch actions of retrieved messages, until DispatchMessageW runs them.
  // The MSG carries the key in lPrivate, which Windows keeps for itself.
  std::map<DWORD, std::function<void()>> retrieved;
  DWORD next_key = 1;
};

struct QueueRegistry {
  std::mutex mutex;
  std::map<DWORD, std::shared_ptr<Queue>> queues;
};

QueueRegistry& queue_registry() {
  static QueueRegistry* const instance = new QueueRegistry();
  return *instance;
}

std::shared_ptr<Queue> find_queue(DWORD thread_id) {
  auto& registry = queue_registry();
  const std::lock_guard lock(registry.mutex);
  const auto found = registry.queues.find(thread_id);
  return found == registry.queues.end() ? nullptr : found->second;
}

// True once the calling thread's queue is gone with the thread; later calls
// on that thread (from other thread-local destructors) find no queue.
thread_local bool t_queue_closed = false;

// The calling thread's queue. It closes when the thread ends, and the
// messages still in it are released then, as Windows discards them.
class ThreadQueue {
 public:
  ThreadQueue() = default;
  ThreadQueue(const ThreadQueue&) = delete;
  ThreadQueue& operator=(const ThreadQueue&) = delete;
  ~ThreadQueue() {
    t_queue_closed = true;
    close();
  }

  std::shared_ptr<Queue> get() const { return queue_; }

  std::shared_ptr<Queue> get_or_create() {
    if (!queue_) {
      queue_ = std::make_shared<Queue>(current_thread_id());
      auto& registry = queue_registry();
      const std::lock_guard lock(registry.mutex);
      registry.queues.insert_or_assign(queue_->thread_id, queue_);
    }
    return queue_;
  }

 private:
  void close() {
    if (!queue_) {
      return;
    }
    {
      auto& registry = queue_registry();
      const std::lock_guard lock(registry.mutex);
      registry.queues.erase(queue_->thread_id);
    }
    std::deque<Posted> dropped;
    std::map<DWORD, std::function<void()>> undispatched;
    {
      const std::lock_guard lock(queue_->mutex);
      queue_->closed = true;
      dropped.swap(queue_->posted);
      undispatched.swap(queue_->retrieved);
    }
    // Released here, outside both locks: an action may own objects whose
    // release posts messages or counts itself.
  }

  std::shared_ptr<Queue> queue_;
};

thread_local ThreadQueue t_queue;

std::shared_ptr<Queue> own_queue(bool create) {
  if (t_queue_closed) {
    return nullptr;
  }
  return create ? t_queue.get_or_create() : t_queue.get();
}

DWORD tick_count() {
  static const auto start = std::chrono::steady_clock::now();
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  return static_cast<DWORD>(elapsed.count());
}

bool matches(const MSG& msg, HWND window, UINT filter_min, UINT filter_max) {
  if (msg.message == WM_QUIT_) {
    return true;  // GetMessageW takes WM_QUIT whatever the filter
  }
  // A window of -1 asks for thread messages only, which are all there are.
  const bool window_ok = window == nullptr || window == reinterpret_cast<HWND>(-1) ||
                         msg.hwnd == window;
  const bool range_ok = (filter_min == 0 && filter_max == 0) ||
                        (msg.message >= filter_min && msg.message <= filter_max);
  return window_ok && range_ok;
}

std::string message_text(const MSG* msg) { return msg == nullptr ? "NULL" : hex(msg->message); }

std::string read_process_name() {
  std::ifstream comm("/proc/self/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

// The name every thread inherits until it is given one of its own, read
// before any thread could be renamed.
const std::string g_inherited_thread_name = read_process_name();

}  // namespace

void ensure_message_queue() { own_queue(true); }

bool post_thread_message(DWORD thread_id, const MSG& msg, std::function<void()> dispatch) {
  const std::shared_ptr<Queue> queue = find_queue(thread_id);
  bool posted = false;
  if (queue) {
    const std::lock_guard lock(queue->mutex);
    if (!queue->closed) {
      queue->posted.push_back({msg, std::move(dispatch)});
      posted = true;
    }
  }
  if (!posted) {
    set_last_error(ERROR_INVALID_THREAD_ID_);
    return false;
  }
  queue->arrived.notify_one();
  return true;
}

}  // namespace lumigrab::sim

namespace lumigrab::platform {

using sim::detail::handle_text;
using sim::detail::hex;

const char* backend_name() noexcept { return "simulated"; }

BOOL PostThreadMessageW(DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam) {
  sim::log_call("PostThreadMessageW(" + hex(thread_id) + ", " + hex(message) + ", " +
                std::to_string(wparam) + ", " + std::to_string(lparam) + ")");
  if (sim::detail::fails("PostThreadMessageW")) {
    return 0;
  }
  MSG msg{};
  msg.message = message;
  msg.wParam = wparam;
  msg.lParam = lparam;
  msg.time = sim::tick_count();
  return sim::post_thread_message(thread_id, msg) ? 1 : 0;
}

BOOL GetMessageW(MSG* msg, HWND window, UINT filter_min, UINT filter_max) {
  sim::log_call("GetMessageW(" + handle_text(window) + ", " + hex(filter_min) + ", " +
                hex(filter_max) + ")");
  if (sim::detail::fails("GetMessageW")) {
    return -1;
  }
  const std::shared_ptr<sim::Queue> queue = sim::own_queue(true);
  if (msg == nullptr || queue == nullptr) {
    sim::set_last_error(87);  // ERROR_INVALID_PARAMETER
    return -1;
  }
  std::unique_lock lock(queue->mutex);
  for (;;) {
    const auto found =
        std::find_if(queue->posted.begin(), queue->posted.end(), [&](const sim::Posted& posted) {
          return sim::matches(posted.msg, window, filter_min, filter_max);
        });
    if (found != queue->posted.end()) {
      *msg = found->msg;
      msg->lPrivate = 0;
      if (found->dispatch) {
        msg->lPrivate = queue->next_key++;
        queue->retrieved.emplace(msg->lPrivate, std::move(found->dispatch));
      }
      queue->posted.erase(found);
      return msg->message == WM_QUIT_ ? 0 : 1;
    }
    if (queue->quit_code) {
      *msg = MSG{};
      msg->message = WM_QUIT_;
      msg->wParam = static_cast<WPARAM>(*queue->quit_code);
      msg->time = sim::tick_count();
      queue->quit_code.reset();
      return 0;
    }
    queue->arrived.wait(lock);
  }
}

BOOL TranslateMessage(const MSG* msg) {
  sim::log_call("TranslateMessage(" + sim::message_text(msg) + ")");
  return 0;  // no keyboard messages to translate
}

LRESULT DispatchMessageW(const MSG* msg) {
  sim::log_call("DispatchMessageW(" + sim::message_text(msg) + ")");
  if (msg == nullptr || msg->lPrivate == 0) {
    return 0;
  }
  std::function<void()> dispatch;
  if (const std::shared_ptr<sim::Queue> queue = sim::own_queue(false)) {
    const std::lock_guard lock(queue->mutex);
    const auto found = queue->retrieved.find(msg->lPrivate);
    if (found != queue->retrieved.end()) {
      dispatch = std::move(found->second);
      queue->retrieved.erase(found);
    }
  }
  if (dispatch) {
    dispatch();
  }
  return 0;
}

void PostQuitMessage(int exit_code) {
  sim::log_call("PostQuitMessage(" + std::to_string(exit_code) + ")");
  const std::shared_ptr<sim::Queue> queue = sim::own_queue(true);
  if (queue == nullptr) {
    return;
  }
  {
    const std::lock_guard lock(queue->mutex);
    queue->quit_code = exit_code;
  }
  queue->arrived.notify_one();
}

DWORD GetCurrentThreadId() {
  sim::log_call("GetCurrentThreadId()");
  return sim::current_thread_id();
}

DWORD GetCurrentProcessId() {
  sim::log_call("GetCurrentProcessId()");
  return sim::own_process_id();
}

std::thread spawn_thread(std::function<void()> body) {
  sim::log_call("CreateThread()");
  if (sim::take_fault("CreateThread")) {
    throw std::system_error(EAGAIN, std::generic_category());
  }
  return std::thread(std::move(body));
}

std::string current_thread_name() {
  char name[16] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) {
    return {};
  }
  std::string result = name;
  if (result == sim::g_inherited_thread_name) {
    return {};
  }
  return result;
}

void write_backtrace() {
  void* frames[64];
  const int count = backtrace(frames, 64);
  backtrace_symbols_fd(frames, count, STDERR_FILENO);
}

}  // namespace lumigrab::platform
