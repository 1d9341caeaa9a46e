#include "plinth/platform/posix/monotonic.h"

#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace plinth::platform::native {
namespace {

// Long enough for the rate to be right to a few parts in a million, short enough that a run of
// the receiver reads the counter almost from the start.
constexpr std::int64_t measuringTime = 20'000'000;  // nanoseconds

std::int64_t systemNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

#if defined(__x86_64__) || defined(__i386__)

bool kernelKeepsTimeWithCounter() {
  std::FILE* file =
      std::fopen("/sys/devices/system/clocksource/clocksource0/current_clocksource", "re");
  if (file == nullptr)
    return false;
  char name[32] = {};
  const bool read = std::fgets(name, sizeof name, file) != nullptr;
  std::fclose(file);
  return read && std::strcmp(name, "tsc\n") == 0;
}

class CounterClock {
 public:
  std::int64_t read() {
    if (ready_.load(std::memory_order_acquire)) {
      const auto ticks = static_cast<double>(__rdtsc() - baseTicks_);
      return baseNanoseconds_ + static_cast<std::int64_t>(ticks * nanosecondsPerTick_);
    }
    return measure();
  }

 private:
  // The system clock, until the rate is known: the first reading starts the measurement, and the
  // first one at least `measuringTime` later ends it. One thread does each, under `busy_`.
  std::int64_t measure() {
    const std::int64_t now = systemNanoseconds();
    if (unusable_.load(std::memory_order_relaxed) ||
        busy_.exchange(true, std::memory_order_acquire))
      return now;
    const std::uint64_t ticks = __rdtsc();
    if (startNanoseconds_ == 0) {
      if (kernelKeepsTimeWithCounter()) {
        startNanoseconds_ = now;
        startTicks_ = ticks;
      } else {
        unusable_.store(true, std::memory_order_relaxed);
      }
    } else if (now - startNanoseconds_ >= measuringTime && ticks > startTicks_) {
      nanosecondsPerTick_ =
          static_cast<double>(now - startNanoseconds_) / static_cast<double>(ticks - startTicks_);
      baseNanoseconds_ = now;
      baseTicks_ = ticks;
      ready_.store(true, std::memory_order_release);
    }
    busy_.store(false, std::memory_order_release);
    return now;
  }

  std::atomic<bool> ready_{false};
  std::atomic<bool> unusable_{false};
  std::atomic<bool> busy_{false};
  std::int64_t startNanoseconds_ = 0;
  std::uint64_t startTicks_ = 0;
  std::int64_t baseNanoseconds_ = 0;
  std::uint64_t baseTicks_ = 0;
  double nanosecondsPerTick_ = 0.0;
};

CounterClock counterClock;

}  // namespace

std::int64_t monotonicNanoseconds() {
  return counterClock.read();
}

#else

}  // namespace

std::int64_t monotonicNanoseconds() {
  return systemNanoseconds();
}

#endif

}  // namespace plinth::platform::native
