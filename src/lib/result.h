// Result: a value or an error of the operation's own error enumeration.
//
// Errors are plain values inside the module; only the boundary wrapper turns
// them into Python exceptions. An error enumeration E provides, next to its
// declaration, `std::string text_form(const E&)` and
// `std::string debug_form(const E&)`.
#pragma once

#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "lib/fault.h"

namespace lumigrab {

// The value of an operation that succeeds with nothing to return.
struct Ok {};

template <typename E>
struct Err {
  explicit Err(E value) : error(std::move(value)) {}
  E error;
};
template <typename E>
Err(E) -> Err<E>;

template <typename T, typename E>
class [[nodiscard]] Result {
  static_assert(!std::is_same_v<T, E>);

 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  template <typename F>
  Result(Err<F> err) : state_(std::in_place_index<1>, E(std::move(err.error))) {}  // NOLINT

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const T& value() const& { return std::get<0>(state_); }
  E& error() & { return std::get<1>(state_); }
  E&& error() && { return std::get<1>(std::move(state_)); }
  const E& error() const& { return std::get<1>(state_); }

  // The value, or a fault whose message is `context`, ": " and the error's
  // debug form.
  T value_or_fault(std::string_view context = kUnwrapContext,
                   SourceLocation location = SourceLocation::current()) && {
    if (!ok()) {
      fault(std::string(context) + ": " + debug_form(error()), location);
    }
    return std::get<0>(std::move(state_));
  }

 private:
  std::variant<T, E> state_;
};

template <typename E>
using Status = Result<Ok, E>;

}  // namespace lumigrab
