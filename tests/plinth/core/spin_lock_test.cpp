#include "plinth/core/spin_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "plinth/platform/platform.h"

namespace plinth {
namespace {

using platform::ServiceOverride;
using platform::Services;

std::atomic<int> sleeps{0};
std::atomic<int> yields{0};
std::atomic<std::uint32_t> lastSleep{0};

void countSleep(std::uint32_t milliseconds) {
  lastSleep = milliseconds;
  ++sleeps;
  platform::realServices().sleep(milliseconds);
}
void countYield() {
  ++yields;
}

TEST(SpinLock, ExcludesThreadsUnderContention) {
  SpinLock lock;
  long counter = 0;  // plain: only the lock keeps the increments whole
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50000; ++i) {
        lock.lock();
        ++counter;
        lock.unlock();
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(counter, 200000);
}

TEST(SpinLock, WaiterSleepsOneMillisecondWhileTheLockIsHeld) {
  ServiceOverride sleep(&Services::sleep, countSleep);
  sleeps = 0;
  SpinLock lock;
  lock.lock();
  std::atomic<bool> acquired{false};
  std::thread waiter([&] {
    lock.lock();
    acquired = true;
    lock.unlock();
  });
  for (int i = 0; i < 5000 && sleeps < 3; ++i)
    platform::realServices().sleep(1);
  EXPECT_GE(sleeps, 3);  // it sleeps between rounds of retries instead of spinning for ever
  EXPECT_EQ(lastSleep, 1u);
  EXPECT_FALSE(acquired);
  lock.unlock();
  waiter.join();
  EXPECT_TRUE(acquired);
  EXPECT_EQ(lock.spinLimit, 128u);
}

TEST(SpinLock, SleepZeroYields) {
  ServiceOverride yield(&Services::yieldProcessor, countYield);
  ServiceOverride sleep(&Services::sleep, countSleep);
  yields = 0;
  sleeps = 0;
  sleepMilliseconds(0);
  EXPECT_EQ(yields, 1);
  EXPECT_EQ(sleeps, 0);
  sleepMilliseconds(2);
  EXPECT_EQ(sleeps, 1);
  EXPECT_EQ(lastSleep, 2u);
}

}  // namespace
}  // namespace plinth
