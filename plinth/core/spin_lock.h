// The library's lightest lock, and its one way to sleep.
#pragma once

#include <atomic>
#include <cstdint>

namespace plinth {

// Gives up the processor: 0 yields the rest of the time slice, any other value sleeps at least
// that many milliseconds.
void sleepMilliseconds(std::uint32_t milliseconds);

// A busy-wait lock for critical sections a few instructions long. A waiter makes `spinLimit`
// paused retries, then sleeps 1 ms and starts again, so on a single processor the holder still
// gets to run. Not reentrant; no owner check on unlock.
class SpinLock {
 public:
  void lock();
  void unlock() { held_.store(0, std::memory_order_release); }

  const std::uint32_t spinLimit = 128;

 private:
  bool tryAcquire();

  std::atomic<std::int32_t> held_{0};  // 0 free, 1 held
};

// Guards every reference-count change made through CountedRef.
extern SpinLock globalLock;
// Serialises the creation of named mutexes.
extern SpinLock mutexCreationLock;

}  // namespace plinth
