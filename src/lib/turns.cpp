#include "lib/turns.h"

#include <utility>

#include "platform/platform.h"

namespace lumigrab {

Turns::Turns()
    : mutex_(std::make_unique<std::mutex>()), generation_(platform::process_generation()) {}

Turns::~Turns() {
  // A lock held for a thread of the parent is left alone, never destroyed.
  forget_turn_held_at_fork();
}

Turns::Turn::Turn(Turn&& other) noexcept
    : turns_(other.turns_), mutex_(std::exchange(other.mutex_, nullptr)) {}

Turns::Turn::~Turn() {
  if (mutex_ != nullptr) {
    turns_->holder_.store(std::thread::id(), std::memory_order_relaxed);
    mutex_->unlock();
  }
}

std::optional<Turns::Turn> Turns::try_take() {
  if (!mutex_->try_lock()) {
    return std::nullopt;
  }
  holder_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  return Turn(*this, *mutex_);
}

Turns::Turn Turns::take() {
  mutex_->lock();
  holder_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  return Turn(*this, *mutex_);
}

bool Turns::held_here() const noexcept {
  return holder_.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

bool Turns::forget_turn_held_at_fork() {
  const std::uint64_t now = platform::process_generation();
  if (generation_ == now) {
    return false;
  }
  generation_ = now;
  // The forking thread itself may hold the turn, and gives it back as usual.
  if (held_here()) {
    return false;
  }
  if (mutex_->try_lock()) {
    mutex_->unlock();
    return false;
  }
  // Locked by a thread of the parent, for ever: a new lock takes its place,
  // and the old one is never touched again.
  static_cast<void>(mutex_.release());
  mutex_ = std::make_unique<std::mutex>();
  holder_.store(std::thread::id(), std::memory_order_relaxed);
  return true;
}

}  // namespace lumigrab
