// A minimal test harness for the core's native tests: no Python, no third-party library.
// Each test file defines TEST(name) blocks; main() in harness.cpp runs them all.
#pragma once

#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace check {

struct Case {
  const char* name;
  std::function<void()> body;
};

inline std::vector<Case>& registry() {
  static std::vector<Case> cases;
  return cases;
}

inline int& failures_in_case() {
  static int n = 0;
  return n;
}

struct Register {
  Register(const char* name, std::function<void()> body) { registry().push_back({name, std::move(body)}); }
};

template <class T>
std::string show(const T& value) {
  std::ostringstream out;
  if constexpr (std::is_convertible_v<T, std::string_view>) {
    out << '"' << std::string_view(value) << '"';
  } else {
    out << value;
  }
  return out.str();
}

inline void fail(const char* file, int line, const std::string& what) {
  ++failures_in_case();
  std::fprintf(stderr, "  %s:%d: %s\n", file, line, what.c_str());
}

}  // namespace check

#define CHECK_CONCAT2(a, b) a##b
#define CHECK_CONCAT(a, b) CHECK_CONCAT2(a, b)
#define TEST(name)                                                               \
  static void name();                                                            \
  static check::Register CHECK_CONCAT(register_, name)(#name, name);             \
  static void name()

#define CHECK(cond)                                                             \
  do {                                                                          \
    if (!(cond)) check::fail(__FILE__, __LINE__, "CHECK(" #cond ") failed");    \
  } while (0)

#define CHECK_EQ(a, b)                                                          \
  do {                                                                          \
    const auto& check_a_ = (a);                                                 \
    const auto& check_b_ = (b);                                                 \
    if (!(check_a_ == check_b_))                                                \
      check::fail(__FILE__, __LINE__,                                           \
                  std::string(#a " == " #b ": ") + check::show(check_a_) + " != " + check::show(check_b_)); \
  } while (0)
