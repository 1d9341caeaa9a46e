// The library's clock: seconds as a double, from 0.0 at the first reading, never decreasing.
#pragma once

#include <cstdint>

#include "plinth/core/spin_lock.h"

namespace plinth {

// One clock's state. The library keeps one for the process (`getSeconds`); a test may make its
// own to start from a first reading.
class SecondsClock {
 public:
  // `highResolution` reads the performance counter, counted from its set-up (the first such call,
  // which returns 0.0); without a counter it falls back to the tick count. Otherwise the
  // millisecond tick count, counted from the first call. The two modes are not comparable.
  double read(bool highResolution);

 private:
  double readTicks();

  // Performance-counter mode, set up once under initLock.
  SpinLock initLock;
  std::atomic<bool> initPending{true};
  bool highResAvailable = false;
  std::int64_t originCount = 0;
  double secondsPerCount = 0.0;

  // Tick-count mode.
  double tickTotalSeconds = 0.0;
  std::uint64_t lastTick = 0;  // 0: no reading yet
};

// The process's clock. The receiver uses the high-resolution mode: its half second, its
// millisecond of gathering and its tenth of a millisecond between looks all count from it.
double getSeconds(bool highResolution);

}  // namespace plinth
