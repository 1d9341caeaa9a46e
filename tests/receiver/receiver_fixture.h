// Captures standard output and standard error in one ordered log, and keeps a clock by hand for
// the passes a test makes.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plinth/platform/platform.h"
#include "plinth/text/debug_dest.h"

namespace farspeak {

// What one write to standard output wrote.
inline std::string joined(const plinth::platform::ByteRange* ranges, std::size_t count) {
  std::string text;
  for (std::size_t range = 0; range < count; ++range)
    text.append(static_cast<const char*>(ranges[range].bytes), ranges[range].count);
  return text;
}

class ReceiverFixture : public ::testing::Test {
 protected:
  using Services = plinth::platform::Services;

  void SetUp() override {
    plinth::startConsole();
    log.clear();
  }

  void advance(int milliseconds) { now += milliseconds * 0.001; }

  // Standard output writes, each as it was made, and console lines as "err:" and their text.
  static inline std::vector<std::string> log;
  // Seconds, as the loop's clock reads them well into a run.
  double now = 1000.0;

 private:
  static bool captureOutput(const plinth::platform::ByteRange* ranges, std::size_t count) {
    log.push_back(joined(ranges, count));
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

  plinth::platform::ServiceOverride<bool (*)(const plinth::platform::ByteRange*, std::size_t)>
      output_{&Services::writeStandardOutput, captureOutput};
  plinth::platform::ServiceOverride<bool (*)(const void*, std::size_t)> error_{
      &Services::writeStandardError, captureError};
};

}  // namespace farspeak
