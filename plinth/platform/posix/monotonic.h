// The monotonic clock every POSIX service measures time with.
#pragma once

#include <time.h>

#include <cstdint>

namespace plinth::platform::native {

inline std::int64_t monotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

}  // namespace plinth::platform::native
