// Calls on one object from several threads, made one after another.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace lumigrab {

// Hands out one turn at a time. A caller that must not block where it stands
// (a Python thread holding the interpreter lock) tries first and waits only
// once it has let go of what others may need.
//
// A process made by fork() has only the forking thread: a turn that another
// thread held at the fork would never come back. forget_turn_held_at_fork()
// gives such a turn up; its holder may have left half-done work behind.
class Turns {
 public:
  // The turn, given back when this goes.
  class Turn {
   public:
    Turn(Turn&& other) noexcept;
    Turn& operator=(Turn&&) = delete;
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;
    ~Turn();

   private:
    friend class Turns;
    Turn(Turns& turns, std::mutex& mutex) noexcept : turns_(&turns), mutex_(&mutex) {}
    Turns* turns_;
    std::mutex* mutex_;  // null once moved from
  };

  Turns();
  Turns(const Turns&) = delete;
  Turns& operator=(const Turns&) = delete;
  ~Turns();

  // The turn at once, or nothing while another thread holds it.
  std::optional<Turn> try_take();
  // Waits as long as another thread holds the turn.
  Turn take();
  // Whether the calling thread holds the turn: a call from within one of its
  // own calls, which must not wait for itself.
  bool held_here() const noexcept;

  // In a child process of fork(), the first time it is called there: gives
  // up a turn that a thread of the parent held at the fork, and says whether
  // there was one. Calls of it must not overlap each other or a take().
  bool forget_turn_held_at_fork();

 private:
  std::unique_ptr<std::mutex> mutex_;
  std::atomic<std::thread::id> holder_;
  std::uint64_t generation_;
};

}  // namespace lumigrab
