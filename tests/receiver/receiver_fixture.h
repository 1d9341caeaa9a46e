// Captures standard output and standard error in one ordered log, and drives the clock by hand.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "plinth/platform/platform.h"
#include "plinth/text/debug_dest.h"

namespace farspeak {

class ReceiverFixture : public ::testing::Test {
 protected:
  using Services = plinth::platform::Services;

  void SetUp() override {
    plinth::startConsole();
    log.clear();
    tickReadings = 0;
    // Ahead of any reading the process clock has taken, so that every step counts.
    fakeTick = std::max(fakeTick, plinth::platform::realServices().tickCount() + 10'000'000) + 1000;
  }

  static void advance(std::uint64_t milliseconds) { fakeTick += milliseconds; }

  // Standard output writes, each as it was made, and console lines as "err:" and their text.
  static inline std::vector<std::string> log;
  static inline std::uint64_t fakeTick = 0;
  static inline int tickReadings = 0;

 private:
  static bool captureOutput(const void* bytes, std::size_t count) {
    log.push_back(std::string(static_cast<const char*>(bytes), count));
    return true;
  }
  static bool captureError(const void* bytes, std::size_t count) {
    // A console line arrives in several writes; keep it as one entry.
    if (log.empty() || log.back().rfind("err:", 0) != 0 || log.back().back() == '\n') {
      log.push_back("err:");
    }
    log.back().append(static_cast<const char*>(bytes), count);
    return true;
  }
  static std::uint64_t readTick() {
    ++tickReadings;
    return fakeTick;
  }

  plinth::platform::ServiceOverride<bool (*)(const void*, std::size_t)> output_{
      &Services::writeStandardOutput, captureOutput};
  plinth::platform::ServiceOverride<bool (*)(const void*, std::size_t)> error_{
      &Services::writeStandardError, captureError};
  plinth::platform::ServiceOverride<std::uint64_t (*)()> ticks_{&Services::tickCount, readTick};
};

}  // namespace farspeak
