#include "platform/posix/messages.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <execinfo.h>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>
#include <vector>

#include "platform/posix/process.h"

namespace lumigrab::posix {
namespace {

thread_local DWORD t_last_error = 0;

// Windows thread ids are multiples of four; these start where no real
// system thread of interest would be mistaken for them.
std::atomic<DWORD> g_next_thread_id{0x1000};

// An eventfd, closed with its owner.
class EventFd {
 public:
  EventFd() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (fd_ < 0) {
      throw std::system_error(errno, std::generic_category(), "eventfd");
    }
  }
  EventFd(const EventFd&) = delete;
  EventFd& operator=(const EventFd&) = delete;
  ~EventFd() { close(fd_); }

  int fd() const noexcept { return fd_; }
  void signal() const noexcept {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(fd_, &one, sizeof one);
  }
  void clear() const noexcept {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t read_bytes = read(fd_, &count, sizeof count);
  }

 private:
  int fd_;
};

struct Posted {
  MSG msg;
  std::function<void()> dispatch;
};

struct Source {
  int fd = -1;
  std::function<bool()> pump;
  bool done = false;
};

struct Queue {
  explicit Queue(DWORD owner) : thread_id(owner) {}

  const DWORD thread_id;
  const EventFd wake;
  std::mutex mutex;
  std::deque<Posted> posted;
  // PostQuitMessage only raises a flag: WM_QUIT comes once nothing else is
  // posted, whatever was posted after it.
  std::optional<int> quit_code;
  bool closed = false;
  // Dispatch actions of retrieved messages, until DispatchMessageW runs them.
  // The MSG carries the key in lPrivate, which Windows keeps for itself.
  std::map<DWORD, std::function<void()>> retrieved;
  DWORD next_key = 1;

  // Held while pumps run, so that a source ends only between pumps. Never
  // taken inside `mutex`.
  std::mutex sources_mutex;
  std::map<std::uint64_t, Source> sources;
  std::uint64_t next_source = 1;
};

struct QueueRegistry {
  std::mutex mutex;
  std::map<DWORD, std::shared_ptr<Queue>> queues;
};

QueueRegistry& queue_registry() {
  static QueueRegistry* const instance = [] {
    auto* made = new QueueRegistry();
    hold_across_fork(made->mutex);
    return made;
  }();
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

bool matches(const MSG& msg, HWND window, UINT filter_min, UINT filter_max) {
  if (msg.message == WM_QUIT_) {
    return true;  // GetMessageW takes WM_QUIT whatever the filter
  }
  // A window of -1 asks for thread messages only, which are all there are.
  const bool window_ok =
      window == nullptr || window == reinterpret_cast<HWND>(-1) || msg.hwnd == window;
  const bool range_ok = (filter_min == 0 && filter_max == 0) ||
                        (msg.message >= filter_min && msg.message <= filter_max);
  return window_ok && range_ok;
}

// Takes the first matching message, or WM_QUIT once nothing matches and a
// quit is pending. Call with the queue's mutex held.
std::optional<BOOL> take_message(Queue& queue, MSG* msg, HWND window, UINT filter_min,
                                 UINT filter_max) {
  const auto found = std::find_if(queue.posted.begin(), queue.posted.end(), [&](const Posted& p) {
    return matches(p.msg, window, filter_min, filter_max);
  });
  if (found != queue.posted.end()) {
    *msg = found->msg;
    msg->lPrivate = 0;
    if (found->dispatch) {
      msg->lPrivate = queue.next_key++;
      queue.retrieved.emplace(msg->lPrivate, std::move(found->dispatch));
    }
    queue.posted.erase(found);
    return msg->message == WM_QUIT_ ? 0 : 1;
  }
  if (queue.quit_code) {
    *msg = MSG{};
    msg->message = WM_QUIT_;
    msg->wParam = static_cast<WPARAM>(*queue.quit_code);
    msg->time = tick_count();
    queue.quit_code.reset();
    return 0;
  }
  return std::nullopt;
}

// Runs every source's pump and gathers the descriptors to wait on.
std::vector<pollfd> pump_sources(Queue& queue) {
  std::vector<pollfd> fds{{queue.wake.fd(), POLLIN, 0}};
  const std::lock_guard lock(queue.sources_mutex);
  for (auto& [key, source] : queue.sources) {
    if (!source.done && !source.pump()) {
      source.done = true;
    }
    if (!source.done) {
      fds.push_back({source.fd, POLLIN, 0});
    }
  }
  return fds;
}

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

void set_last_error(DWORD code) {
  t_last_error = code;
}
DWORD last_error() {
  return t_last_error;
}

DWORD current_thread_id() {
  thread_local const DWORD id = g_next_thread_id.fetch_add(4);
  return id;
}

DWORD tick_count() {
  static const auto start = std::chrono::steady_clock::now();
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  return static_cast<DWORD>(elapsed.count());
}

std::string current_thread_name() {
  char name[16] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) {
    return {};
  }
  std::string result = name;
  if (result == g_inherited_thread_name) {
    return {};
  }
  return result;
}

void write_backtrace() {
  void* frames[64];
  const int count = backtrace(frames, 64);
  backtrace_symbols_fd(frames, count, STDERR_FILENO);
}

void ensure_message_queue() {
  own_queue(true);
}

MSG thread_message(UINT message, WPARAM wparam, LPARAM lparam) {
  MSG msg{};
  msg.message = message;
  msg.wParam = wparam;
  msg.lParam = lparam;
  msg.time = tick_count();
  return msg;
}

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
  queue->wake.signal();
  return true;
}

BOOL get_message(MSG* msg, HWND window, UINT filter_min, UINT filter_max) {
  const std::shared_ptr<Queue> queue = own_queue(true);
  if (msg == nullptr || queue == nullptr) {
    set_last_error(kErrorInvalidParameter);
    return -1;
  }
  for (;;) {
    {
      const std::lock_guard lock(queue->mutex);
      if (const std::optional<BOOL> taken =
              take_message(*queue, msg, window, filter_min, filter_max)) {
        return *taken;
      }
    }
    // Cleared before the pumps run: whatever they or other threads post from
    // here on signals again, so the wait below cannot miss it.
    queue->wake.clear();
    std::vector<pollfd> fds = pump_sources(*queue);
    {
      const std::lock_guard lock(queue->mutex);
      if (const std::optional<BOOL> taken =
              take_message(*queue, msg, window, filter_min, filter_max)) {
        return *taken;
      }
    }
    while (poll(fds.data(), fds.size(), -1) < 0 && errno == EINTR) {
    }
  }
}

void dispatch_message(const MSG* msg) {
  if (msg == nullptr || msg->lPrivate == 0) {
    return;
  }
  std::function<void()> dispatch;
  if (const std::shared_ptr<Queue> queue = own_queue(false)) {
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
}

void post_quit_message(int exit_code) {
  const std::shared_ptr<Queue> queue = own_queue(true);
  if (queue == nullptr) {
    return;
  }
  {
    const std::lock_guard lock(queue->mutex);
    queue->quit_code = exit_code;
  }
  queue->wake.signal();
}

struct QueueSource::Registration {
  std::weak_ptr<Queue> queue;
  std::uint64_t key = 0;
};

QueueSource::QueueSource(int fd, std::function<bool()> pump)
    : registration_(std::make_unique<Registration>()) {
  const std::shared_ptr<Queue> queue = own_queue(true);
  if (queue == nullptr) {
    return;
  }
  {
    const std::lock_guard lock(queue->sources_mutex);
    registration_->key = queue->next_source++;
    queue->sources.emplace(registration_->key, Source{fd, std::move(pump), false});
  }
  registration_->queue = queue;
  queue->wake.signal();
}

QueueSource::~QueueSource() {
  if (const std::shared_ptr<Queue> queue = registration_->queue.lock()) {
    Source removed;
    const std::lock_guard lock(queue->sources_mutex);
    if (const auto found = queue->sources.find(registration_->key); found != queue->sources.end()) {
      removed = std::move(found->second);
      queue->sources.erase(found);
    }
  }
}

}  // namespace lumigrab::posix
