// The monotonic clock every POSIX service measures time with.
#pragma once

#include <cstdint>

namespace plinth::platform::native {

// Nanoseconds on the system's monotonic clock. Where the kernel itself keeps time with the
// processor's time-stamp counter (so the counter is invariant and the same on every core), the
// counter is read directly, at a rate measured against the system clock over the first tens of
// milliseconds: a few nanoseconds a reading, where clock_gettime costs tens in a virtual machine
// and a loop under load reads the clock every pass. Intervals are what the library measures; the
// counter's rate, measured so, is right to a few parts in a million.
std::int64_t monotonicNanoseconds();

}  // namespace plinth::platform::native
