#include "plinth/core/clock.h"

#include <gtest/gtest.h>

#include "plinth/platform/platform.h"

namespace plinth {
namespace {

using platform::ServiceOverride;
using platform::Services;

std::uint64_t fakeTick = 0;
std::int64_t fakeCounter = 0;

std::uint64_t readFakeTick() {
  return fakeTick;
}
bool readFakeCounter(std::int64_t* count) {
  *count = fakeCounter;
  return true;
}
bool fakeFrequency(std::int64_t* counts) {
  *counts = 1000;
  return true;
}
bool failingFrequency(std::int64_t*) {
  return false;
}

TEST(SecondsClock, TickModeCountsFromFirstCallAndNeverGoesBack) {
  ServiceOverride ticks(&Services::tickCount, readFakeTick);
  SecondsClock clock;
  fakeTick = 5000;
  EXPECT_EQ(clock.read(false), 0.0);
  fakeTick = 5600;
  EXPECT_DOUBLE_EQ(clock.read(false), 0.6);
  EXPECT_DOUBLE_EQ(clock.read(false), 0.6);  // a stalled tick count adds nothing

  fakeTick = 5100;  // backwards: the value holds, and the stored tick stays 5600
  EXPECT_DOUBLE_EQ(clock.read(false), 0.6);
  fakeTick = 5500;
  EXPECT_DOUBLE_EQ(clock.read(false), 0.6);
  fakeTick = 5700;  // only the part above 5600 counts
  EXPECT_DOUBLE_EQ(clock.read(false), 0.7);
}

TEST(SecondsClock, HighResolutionCountsFromItsSetUp) {
  ServiceOverride frequency(&Services::performanceFrequency, fakeFrequency);
  ServiceOverride counter(&Services::performanceCounter, readFakeCounter);
  SecondsClock clock;
  fakeCounter = 123'000;
  EXPECT_EQ(clock.read(true), 0.0);
  fakeCounter = 125'500;
  EXPECT_DOUBLE_EQ(clock.read(true), 2.5);
  fakeCounter = 122'000;  // the counter's own difference, signed
  EXPECT_DOUBLE_EQ(clock.read(true), -1.0);
}

TEST(SecondsClock, MissingCounterFallsBackToTicksAfterOneSetUpCall) {
  ServiceOverride frequency(&Services::performanceFrequency, failingFrequency);
  ServiceOverride ticks(&Services::tickCount, readFakeTick);
  SecondsClock clock;
  fakeTick = 1000;
  EXPECT_EQ(clock.read(true), 0.0);  // the set-up call
  EXPECT_EQ(clock.read(true), 0.0);  // the tick mode's first reading
  fakeTick = 3000;
  EXPECT_DOUBLE_EQ(clock.read(true), 2.0);
  EXPECT_DOUBLE_EQ(clock.read(false), 2.0);  // the same tick total
}

TEST(SecondsClock, RealClockAdvances) {
  const double first = getSeconds(false);
  platform::services.sleep(30);
  EXPECT_GT(getSeconds(false), first);
  const double highFirst = getSeconds(true);
  platform::services.sleep(5);
  EXPECT_GT(getSeconds(true), highFirst);
}

}  // namespace
}  // namespace plinth
