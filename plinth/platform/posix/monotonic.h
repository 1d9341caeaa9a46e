// The monotonic clock every POSIX service measures time with.
#pragma once

#include <cstdint>

namespace plinth::platform::native {

// Nanoseconds on the system's monotonic clock. Where the kernel keeps time with the processor's
// time-stamp counter (invariant, the same on every core), the counter is read directly, at a rate
// measured over the first 20 ms: a few nanoseconds a reading against tens for clock_gettime.
std::int64_t monotonicNanoseconds();

}  // namespace plinth::platform::native
