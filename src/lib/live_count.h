// A count of the live instances of one class, so that tests can tell that
// every delegate and shared record made by the module has been released.
#pragma once

#include <atomic>

namespace lumigrab {

// Derive from LiveCount<Self>; the count follows construction and destruction
// of Self, on any thread.
template <typename Tag>
class LiveCount {
 public:
  static long live() noexcept { return count_.load(std::memory_order_acquire); }

 protected:
  LiveCount() noexcept { count_.fetch_add(1, std::memory_order_acq_rel); }
  LiveCount(const LiveCount&) noexcept { count_.fetch_add(1, std::memory_order_acq_rel); }
  LiveCount& operator=(const LiveCount&) noexcept = default;
  ~LiveCount() { count_.fetch_sub(1, std::memory_order_acq_rel); }

 private:
  static inline std::atomic<long> count_{0};
};

}  // namespace lumigrab
