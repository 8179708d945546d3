#include <cstdio>

#include "check.h"

int main() {
  int passed = 0;
  int failed = 0;
  for (const auto& c : check::registry()) {
    check::failures_in_case() = 0;
    c.body();
    if (check::failures_in_case() == 0) {
      ++passed;
    } else {
      ++failed;
      std::fprintf(stderr, "FAILED %s\n", c.name);
    }
  }
  std::printf("native: %d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
