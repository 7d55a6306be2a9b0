// A minimal test harness: TEST(name) { ... } registers a case; CHECK and
// CHECK_EQ record failures without stopping the case; main() runs every case
// and ends with "N passed, N failed".
#pragma once

#include <cstdio>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

namespace harness {

struct Case {
  const char* name;
  void (*fn)();
};

inline std::vector<Case>& cases() {
  static std::vector<Case> all;
  return all;
}

inline int& failures() {
  static int n = 0;
  return n;
}

struct Register {
  Register(const char* name, void (*fn)()) { cases().push_back({name, fn}); }
};

inline void fail(const char* file, int line, const std::string& what) {
  if (++failures() <= 50) std::printf("  %s:%d: %s\n", file, line, what.c_str());
}

template <class T>
void show(std::ostream& os, const T& v) {
  if constexpr (std::is_enum_v<T>)
    os << static_cast<long long>(v);
  else
    os << v;
}

template <class A, class B>
std::string show_pair(const A& a, const B& b) {
  std::ostringstream os;
  show(os, a);
  os << " != ";
  show(os, b);
  return os.str();
}

}  // namespace harness

#define TEST(name)                                               \
  static void test_##name();                                     \
  static harness::Register register_##name(#name, test_##name);  \
  static void test_##name()

#define CHECK(cond)                                                  \
  do {                                                               \
    if (!(cond)) harness::fail(__FILE__, __LINE__, "CHECK(" #cond ")"); \
  } while (0)

#define CHECK_EQ(a, b)                                                                   \
  do {                                                                                   \
    const auto& check_a_ = (a);                                                          \
    const auto& check_b_ = (b);                                                          \
    if (!(check_a_ == check_b_))                                                         \
      harness::fail(__FILE__, __LINE__, #a " == " #b ": " + harness::show_pair(check_a_, check_b_)); \
  } while (0)

// Like CHECK but with a message built from stream arguments.
#define CHECK_MSG(cond, msg)                                       \
  do {                                                             \
    if (!(cond)) {                                                 \
      std::ostringstream check_os_;                                \
      check_os_ << msg;                                            \
      harness::fail(__FILE__, __LINE__, check_os_.str());          \
    }                                                              \
  } while (0)

int main() {
  int passed = 0, failed = 0;
  for (const auto& c : harness::cases()) {
    const int before = harness::failures();
    c.fn();
    if (harness::failures() == before) {
      ++passed;
    } else {
      ++failed;
      std::printf("FAIL %s\n", c.name);
    }
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
