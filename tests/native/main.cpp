#include <cstring>

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
