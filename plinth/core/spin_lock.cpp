#include "plinth/core/spin_lock.h"

#include "plinth/platform/platform.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace plinth {
namespace {

// Tells the processor that this is a spin-wait, so it can save power and let a sibling thread run.
inline void pauseHint() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace

constinit SpinLock globalLock;
constinit SpinLock mutexCreationLock;

void sleepMilliseconds(std::uint32_t milliseconds) {
  if (milliseconds == 0) {
    platform::services.yieldProcessor();
  } else {
    platform::services.sleep(milliseconds);
  }
}

bool SpinLock::tryAcquire() {
  std::int32_t expected = 0;
  return held_.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                       std::memory_order_relaxed);
}

void SpinLock::lock() {
  if (tryAcquire())
    return;
  std::uint32_t retries = 0;
  do {
    pauseHint();
    if (++retries > spinLimit) {
      sleepMilliseconds(1);
      retries = 0;
    }
  } while (!tryAcquire());
}

}  // namespace plinth
