// The process generation: counts the fork() calls that led to this process,
// so that objects made before a fork can tell that they are in a child.
#include <atomic>
#include <cstdint>
#include <pthread.h>

#include "platform/platform.h"

namespace lumigrab::platform {
namespace {

std::atomic<std::uint64_t> generation{0};

// Registered when the module loads, before any capture could exist.
const int registered =
    pthread_atfork(nullptr, nullptr, [] { generation.fetch_add(1, std::memory_order_relaxed); });

}  // namespace

std::uint64_t process_generation() noexcept {
  static_cast<void>(registered);
  return generation.load(std::memory_order_relaxed);
}

}  // namespace lumigrab::platform
