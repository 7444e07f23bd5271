// A minimal test harness for the native tests: self-registering cases and
// checks that report the failing expression and carry on.
#pragma once

#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace lumigrab::test {

struct Case {
  const char* name;
  std::function<void()> body;
};

std::vector<Case>& registry();
void record_failure(const char* file, int line, const std::string& what);

// Keeps what the code under test writes to standard error (fault reports)
// off the terminal while it lives. The output goes to the file that
// LUMIGRAB_HELD_STDERR names, where tests/run.sh shows it if the tests fail or
// crash, else to a temporary file. On Windows nothing is held.
class HeldStderr {
 public:
  HeldStderr();
  HeldStderr(const HeldStderr&) = delete;
  HeldStderr& operator=(const HeldStderr&) = delete;
  ~HeldStderr();

  // Whether `part` was written meanwhile; true where nothing is held.
  bool wrote(const std::string& part) const;

 private:
  int saved_ = -1;  // the real standard error
  int held_ = -1;
  long start_ = 0;  // where this holder's output starts in the file
};

struct Registrar {
  Registrar(const char* name, std::function<void()> body) {
    registry().push_back({name, std::move(body)});
  }
};

}  // namespace lumigrab::test

#define LUMIGRAB_CONCAT_INNER(a, b) a##b
#define LUMIGRAB_CONCAT(a, b) LUMIGRAB_CONCAT_INNER(a, b)

#define TEST(name)                                                                         \
  static void name();                                                                      \
  static const ::lumigrab::test::Registrar LUMIGRAB_CONCAT(registrar_, name){#name, name}; \
  static void name()

#define CHECK(expr)                                                             \
  do {                                                                          \
    if (!(expr)) {                                                              \
      ::lumigrab::test::record_failure(__FILE__, __LINE__, "CHECK(" #expr ")"); \
    }                                                                           \
  } while (false)

#define CHECK_EQ(actual, expected)                                                                 \
  do {                                                                                             \
    /* copies: `actual` may name part of a temporary, e.g. f().at(k) */                            \
    const auto check_actual_ = (actual);                                                           \
    const auto check_expected_ = (expected);                                                       \
    if (!(check_actual_ == check_expected_)) {                                                     \
      std::ostringstream check_out_;                                                               \
      check_out_ << "CHECK_EQ(" #actual ", " #expected "): got " << check_actual_ << ", expected " \
                 << check_expected_;                                                               \
      ::lumigrab::test::record_failure(__FILE__, __LINE__, check_out_.str());                      \
    }                                                                                              \
  } while (false)
