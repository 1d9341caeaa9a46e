// The bench's one clock: seconds on the monotonic clock, comparable across threads.
#pragma once

#include <chrono>
#include <thread>

namespace farspeak::bench {

inline double monotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline void sleepSeconds(double seconds) {
  if (seconds > 0.0)
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

inline void sleepUntil(double seconds) {
  sleepSeconds(seconds - monotonicSeconds());
}

}  // namespace farspeak::bench
