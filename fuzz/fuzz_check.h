// The one way a fuzz target reports a broken promise: name the check and stop, so that libFuzzer
// keeps the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_REQUIRE(condition) \
  ((condition) ? void() : ::farspeak::fuzz::checkFailed(#condition, __FILE__, __LINE__))

namespace farspeak::fuzz {

[[noreturn]] inline void checkFailed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
  std::abort();
}

}  // namespace farspeak::fuzz
