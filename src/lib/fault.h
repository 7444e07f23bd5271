// Faults: the path for conditions the module does not recover from.
//
// A fault abandons the current operation. It is a C++ exception of our own that
// only the boundary wrapper (for Python calls) and the capture thread's body
// catch; it never crosses into CPython or off the thread that raised it. A
// report is written to standard error when the fault is raised.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <utility>

namespace lumigrab {

class Fault : public std::exception {
 public:
  explicit Fault(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Writes the fault report for `message` and throws Fault.
[[noreturn]] void fault(std::string message,
                        std::source_location location = std::source_location::current());

// The message of a fault raised because an operation insisted on a success it
// did not get: context, ": " and the error's debug form.
inline constexpr const char* kUnwrapContext = "called `Result::unwrap()` on an `Err` value";

}  // namespace lumigrab
