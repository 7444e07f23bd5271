#include <cstdio>
#include <cstdlib>
#include <cstring>
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "harness.h"

namespace lumigrab::test {
namespace {
int g_failures_in_case = 0;
}

std::vector<Case>& registry() {
  static std::vector<Case> cases;
  return cases;
}

void record_failure(const char* file, int line, const std::string& what) {
  ++g_failures_in_case;
  std::cerr << file << ":" << line << ": " << what << "\n";
}

#ifndef _WIN32
HeldStderr::HeldStderr() {
  std::cerr.flush();
  std::fflush(stderr);
  const char* const path = std::getenv("LUMIGRAB_HELD_STDERR");
  if (path != nullptr && *path != '\0') {
    held_ = open(path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  } else if (std::FILE* file = std::tmpfile()) {
    held_ = dup(fileno(file));
    std::fclose(file);
  }
  if (held_ < 0) {
    return;  // nothing to hold it in: it goes where it would have gone
  }
  start_ = lseek(held_, 0, SEEK_END);
  saved_ = dup(STDERR_FILENO);
  dup2(held_, STDERR_FILENO);
}

HeldStderr::~HeldStderr() {
  if (saved_ < 0) {
    return;
  }
  std::cerr.flush();
  std::fflush(stderr);
  dup2(saved_, STDERR_FILENO);
  close(saved_);
  close(held_);
}

bool HeldStderr::wrote(const std::string& part) const {
  if (saved_ < 0) {
    return true;
  }
  std::cerr.flush();
  std::fflush(stderr);
  std::string text;
  char buffer[4096];
  for (off_t at = start_;;) {
    const ssize_t count = pread(held_, buffer, sizeof buffer, at);
    if (count <= 0) {
      return text.find(part) != std::string::npos;
    }
    text.append(buffer, static_cast<std::size_t>(count));
    at += static_cast<off_t>(count);
  }
}
#else
HeldStderr::HeldStderr() = default;
HeldStderr::~HeldStderr() = default;
bool HeldStderr::wrote(const std::string& /*part*/) const {
  return true;
}
#endif

}  // namespace lumigrab::test

// Runs every case, or those whose name contains the first argument.
int main(int argc, char** argv) {
  using lumigrab::test::g_failures_in_case;
  int passed = 0;
  int failed = 0;
  for (const auto& test_case : lumigrab::test::registry()) {
    if (argc > 1 && std::strstr(test_case.name, argv[1]) == nullptr) {
      continue;
    }
    g_failures_in_case = 0;
    try {
      test_case.body();
    } catch (const std::exception& e) {
      lumigrab::test::record_failure(test_case.name, 0, std::string("exception: ") + e.what());
    }
    if (g_failures_in_case == 0) {
      ++passed;
    } else {
      ++failed;
      std::cerr << "FAILED: " << test_case.name << "\n";
    }
  }
  std::cout << passed << " passed, " << failed << " failed\n";
  return failed == 0 ? 0 : 1;
}
