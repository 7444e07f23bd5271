// Faults: the path for conditions the module does not recover from.
//
// A fault abandons the current operation. It is a C++ exception of our own that
// only the boundary wrapper (for Python calls) and the capture thread's body
// catch; it never crosses into CPython or off the thread that raised it. A
// report is written to standard error when the fault is raised.
#pragma once

#include <exception>
#include <version>
#if defined(__cpp_lib_source_location)
#include <source_location>
#endif
#include <string>
#include <utility>

namespace lumigrab {

// Where a fault was raised: std::source_location where the standard library
// has it, the compiler builtins behind it where it does not (clang before 16
// with libstdc++).
struct SourceLocation {
#if defined(__cpp_lib_source_location)
  static constexpr SourceLocation current(
      std::source_location location = std::source_location::current()) noexcept {
    return {location.file_name(), static_cast<int>(location.line()),
            static_cast<int>(location.column())};
  }
#else
  static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                          int line = __builtin_LINE(),
                                          int column = __builtin_COLUMN()) noexcept {
    return {file, line, column};
  }
#endif
  const char* file;
  int line;
  int column;
};

class Fault : public std::exception {
 public:
  explicit Fault(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Writes the fault report for `message` and throws Fault.
[[noreturn]] void fault(std::string message, SourceLocation location = SourceLocation::current());

// The message of a fault raised because an operation insisted on a success it
// did not get: context, ": " and the error's debug form.
inline constexpr const char* kUnwrapContext = "called `Result::unwrap()` on an `Err` value";

}  // namespace lumigrab
