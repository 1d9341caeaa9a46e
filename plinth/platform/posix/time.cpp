#include <sched.h>
#include <time.h>

#include <cerrno>

#include "plinth/platform/native.h"
#include "plinth/platform/posix/monotonic.h"

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace plinth::platform::native {

void sleep(std::uint32_t milliseconds) {
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1'000'000};
  // A signal must not cut the sleep short: callers rely on at least the time asked for.
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

void yieldProcessor() {
  sched_yield();
}

std::uint64_t tickCount() {
  // Windows' tick count is never 0 on a running system, and the clock reads 0 as "no reading
  // yet"; the monotonic clock may start at 0 (in a fresh namespace, say), so count from 1.
  return static_cast<std::uint64_t>(monotonicNanoseconds() / 1'000'000) + 1;
}

bool performanceFrequency(std::int64_t* counts) {
  *counts = 1'000'000'000;
  return true;
}

bool performanceCounter(std::int64_t* count) {
  *count = monotonicNanoseconds();
  return true;
}

TimeOfDay localTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  return {.hour = local.tm_hour,
          .minute = local.tm_min,
          .second = local.tm_sec,
          .millisecond = static_cast<int>(now.tv_nsec / 1'000'000),
          .year = local.tm_year + 1900,
          .month = local.tm_mon + 1,
          .day = local.tm_mday,
          .utcOffsetMinutes = static_cast<int>(local.tm_gmtoff / 60)};
}

std::uint64_t timeStampCounter() {
#if defined(__x86_64__) || defined(__i386__)
  return __rdtsc();
#else
  return static_cast<std::uint64_t>(monotonicNanoseconds());
#endif
}

}  // namespace plinth::platform::native
