// What the POSIX backends do about fork(): the process generation, which
// counts the forks that led to this process so that objects made before a
// fork can tell that they are in a child, and the process-wide locks held
// across a fork.
#include "platform/posix/process.h"

#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <vector>

#include "platform/platform.h"

namespace lumigrab::posix {
namespace {

std::atomic<std::uint64_t> generation{0};

struct HeldLocks {
  std::mutex mutex;
  std::vector<std::mutex*> locks;
};

HeldLocks& held_locks() {
  static HeldLocks* const instance = new HeldLocks();
  return *instance;
}

void lock_all() {
  HeldLocks& held = held_locks();
  held.mutex.lock();
  for (std::mutex* lock : held.locks) {
    lock->lock();
  }
}

void unlock_all() {
  HeldLocks& held = held_locks();
  for (auto it = held.locks.rbegin(); it != held.locks.rend(); ++it) {
    (*it)->unlock();
  }
  held.mutex.unlock();
}

void enter_child() {
  generation.fetch_add(1, std::memory_order_relaxed);
  unlock_all();
}

// Registered when the module loads, before any capture could exist.
const int registered = pthread_atfork(lock_all, unlock_all, enter_child);

}  // namespace

void hold_across_fork(std::mutex& mutex) {
  static_cast<void>(registered);
  HeldLocks& held = held_locks();
  const std::lock_guard lock(held.mutex);
  held.locks.push_back(&mutex);
}

std::uint64_t generation_now() noexcept {
  return generation.load(std::memory_order_relaxed);
}

}  // namespace lumigrab::posix

namespace lumigrab::platform {

std::uint64_t process_generation() noexcept {
  return posix::generation_now();
}

bool explains_capture_failures() noexcept {
  return true;
}

}  // namespace lumigrab::platform
