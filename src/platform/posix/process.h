// What the POSIX backends do about fork().
#pragma once

#include <cstdint>
#include <mutex>

namespace lumigrab::posix {

// Holds `mutex` while the process forks, so that a child never inherits it
// locked by a thread it does not have. For process-wide locks that are held
// only briefly and never while another such lock is taken; the mutex must
// live as long as the process.
void hold_across_fork(std::mutex& mutex);

// How many fork() calls led to this process (see platform::process_generation).
std::uint64_t generation_now() noexcept;

}  // namespace lumigrab::posix
