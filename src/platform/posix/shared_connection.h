// The one connection to the desktop's server that a POSIX backend's whole
// process shares.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <string>

namespace lumigrab::posix {

// Opened on first use and opened anew once broken. A server that just failed
// to answer is not asked again for `kRetryAfterMs`: each call would otherwise
// wait out a time limit of its own. `Connection` has
// `static std::shared_ptr<Connection> open(std::string* why)` and
// `bool broken() const`.
template <class Connection, long long kRetryAfterMs>
class SharedConnection {
 public:
  static std::shared_ptr<Connection> get() {
    const std::lock_guard lock(mutex_);
    return current();
  }

  // Why the connection cannot be had; nothing when it can.
  static std::optional<std::string> unreachable_reason() {
    const std::lock_guard lock(mutex_);
    if (current()) {
      return std::nullopt;
    }
    return reason_;
  }

 private:
  using Clock = std::chrono::steady_clock;

  // The working connection, made anew where there is none. The caller holds
  // `mutex_`.
  static std::shared_ptr<Connection> current() {
    register_fork_handlers();
    if (!current_ && failed_at_ &&
        Clock::now() - *failed_at_ < std::chrono::milliseconds(kRetryAfterMs)) {
      return nullptr;
    }
    if (!current_ || current_->broken()) {
      current_ = Connection::open(&reason_);
      failed_at_.reset();
      if (!current_) {
        failed_at_ = Clock::now();
      }
    }
    return current_;
  }

  // The lock is held across fork(), so that the child does not inherit it
  // locked by a thread that does not exist there; the child forgets the
  // parent's connection (without touching it) and opens its own.
  static void register_fork_handlers() {
    static std::once_flag once;
    std::call_once(once, [] {
      pthread_atfork([] { mutex_.lock(); }, [] { mutex_.unlock(); },
                     [] {
                       current_.reset();
                       failed_at_.reset();
                       mutex_.unlock();
                     });
    });
  }

  static inline std::mutex mutex_;
  static inline std::shared_ptr<Connection> current_;
  static inline std::string reason_;                          // why `current_` is null
  static inline std::optional<Clock::time_point> failed_at_;  // when opening it last failed
};

}  // namespace lumigrab::posix
