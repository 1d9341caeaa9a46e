#include "plinth/core/mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "plinth/platform/platform.h"
#include "plinth/text/debug_dest.h"

namespace plinth {
namespace {

using platform::ServiceOverride;
using platform::Services;

std::string standardError;
std::atomic<int> standardErrorWrites{0};
bool captureStandardError(const void* bytes, std::size_t count) {
  standardError.append(static_cast<const char*>(bytes), count);
  ++standardErrorWrites;
  return true;
}

// The first `timeOuts` waits report a time-out at once, as if a second had passed.
std::atomic<int> timeOuts{0};
bool quickTimeOuts(platform::EventHandle event, std::uint32_t milliseconds) {
  if (timeOuts > 0) {
    --timeOuts;
    return false;
  }
  return platform::realServices().waitEvent(event, milliseconds);
}

void sleepBriefly() {
  platform::realServices().sleep(20);
}

class MutexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    startConsole();
    standardError.clear();
    standardErrorWrites = 0;
    timeOuts = 0;
  }

  ServiceOverride<bool (*)(const void*, std::size_t)> capture{&Services::writeStandardError,
                                                              captureStandardError};
};

// Holds `mutex` on another thread until told to let go.
class Holder {
 public:
  explicit Holder(Mutex& mutex)
      : thread_([this, &mutex] {
          mutex.lock();
          holding_ = true;
          while (!release_)
            sleepBriefly();
          mutex.unlock();
        }) {
    while (!holding_)
      sleepBriefly();
  }
  ~Holder() {
    release_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> holding_{false};
  std::atomic<bool> release_{false};
  std::thread thread_;
};

TEST_F(MutexTest, RecursiveLocksNeedAsManyUnlocks) {
  Mutex mutex(u"recursive");
  mutex.lock();
  mutex.lock();
  mutex.unlock();
  std::atomic<bool> acquired{false};
  std::thread other([&] {
    mutex.lock();
    acquired = true;
    mutex.unlock();
  });
  for (int i = 0; i < 10; ++i)
    sleepBriefly();
  EXPECT_FALSE(acquired);  // still held after one of two unlocks
  mutex.unlock();
  other.join();
  EXPECT_TRUE(acquired);
  EXPECT_EQ(standardError, "");
}

TEST_F(MutexTest, EachReleaseLetsExactlyOneWaiterThrough) {
  Mutex mutex(u"handover");
  std::atomic<int> inside{0};
  std::atomic<int> done{0};
  std::atomic<bool> overlap{false};
  std::vector<std::thread> waiters;
  {
    Holder holder(mutex);
    for (int t = 0; t < 3; ++t) {
      waiters.emplace_back([&] {
        for (int round = 0; round < 50; ++round) {
          mutex.lock();
          if (++inside != 1)
            overlap = true;
          std::this_thread::yield();
          --inside;
          mutex.unlock();
        }
        ++done;
      });
    }
    for (int i = 0; i < 5; ++i)
      sleepBriefly();
    EXPECT_EQ(done, 0);
  }
  for (auto& waiter : waiters)
    waiter.join();
  EXPECT_EQ(done, 3);
  EXPECT_FALSE(overlap);
}

// Makes `timeOuts` waits of a second thread on `mutex` time out, then lets it have the mutex.
void waitThroughTimeOuts(Mutex& mutex, int count) {
  std::thread waiter;
  {
    Holder holder(mutex);
    timeOuts = count;
    waiter = std::thread([&mutex] {
      mutex.lock();
      mutex.unlock();
    });
    for (int i = 0; i < 500 && timeOuts > 0; ++i)
      sleepBriefly();
  }
  waiter.join();
}

TEST_F(MutexTest, WarnsOncePerSecondOfWaiting) {
  ServiceOverride wait(&Services::waitEvent, quickTimeOuts);
  Mutex mutex(u"slow");
  waitThroughTimeOuts(mutex, 3);
  EXPECT_EQ(standardError,
            "Mutex slow is taking a long time...\r\n"
            "Mutex slow is taking a long time...\r\n"
            "Mutex slow is taking a long time...\r\n");

  standardError.clear();
  writeInProgress = true;  // another write is under way: no warning, but the wait still ends
  waitThroughTimeOuts(mutex, 2);
  writeInProgress = false;
  EXPECT_EQ(standardError, "");
}

TEST_F(MutexTest, ANullNameIsReportedAndTheMutexStillWorks) {
  ServiceOverride wait(&Services::waitEvent, quickTimeOuts);
  Mutex mutex(nullptr);
  EXPECT_EQ(standardError, "Mutex has no name...\r\n");
  standardError.clear();
  waitThroughTimeOuts(mutex, 1);
  EXPECT_EQ(standardError, "Mutex  is taking a long time...\r\n");
}

TEST_F(MutexTest, RealWaitWarnsAfterASecond) {
  Mutex mutex(u"real");
  std::thread waiter;
  {
    Holder holder(mutex);
    waiter = std::thread([&mutex] {
      mutex.lock();
      mutex.unlock();
    });
    for (int i = 0; i < 250 && standardErrorWrites == 0; ++i)
      sleepBriefly();
  }
  waiter.join();
  EXPECT_EQ(standardError.rfind("Mutex real is taking a long time...\r\n", 0), 0u);
}

}  // namespace
}  // namespace plinth
