#include "plinth/core/clock.h"

#include "plinth/platform/platform.h"

namespace plinth {
namespace {

constinit SecondsClock processClock;

}  // namespace

double getSeconds(bool highResolution) {
  return processClock.read(highResolution);
}

double SecondsClock::read(bool highResolution) {
  if (highResolution) {
    if (initPending.load(std::memory_order_acquire)) {
      initLock.lock();
      if (initPending.load(std::memory_order_relaxed)) {
        std::int64_t frequency = 0;
        highResAvailable = platform::services.performanceFrequency(&frequency);
        if (highResAvailable) {
          secondsPerCount = 1.0 / static_cast<double>(frequency);
          platform::services.performanceCounter(&originCount);
        }
        initPending.store(false, std::memory_order_release);
      }
      initLock.unlock();
      return 0.0;  // also for a caller that waited while another thread did the set-up
    }
    if (highResAvailable) {
      std::int64_t count = 0;
      platform::services.performanceCounter(&count);
      return static_cast<double>(count - originCount) * secondsPerCount;
    }
  }
  return readTicks();
}

double SecondsClock::readTicks() {
  const std::uint64_t tick = platform::services.tickCount();
  if (lastTick == 0) {
    lastTick = tick;
  } else if (tick > lastTick) {
    // A tick count that stalls or steps back adds nothing; time counts again only above lastTick.
    tickTotalSeconds += static_cast<double>(tick - lastTick) * 0.001;
    lastTick = tick;
  }
  return tickTotalSeconds;
}

}  // namespace plinth
