#include "plinth/core/startup_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "plinth/platform/platform.h"

namespace plinth {
namespace {

TEST(StartupState, IsInPlaceBeforeTheTestsRun) {
  EXPECT_EQ(scratchBuffer.size, 131072u);
  EXPECT_EQ(scratchBuffer.capacity, 131072u);
  EXPECT_EQ(scratchBuffer.end, scratchBuffer.data + 131072);
  EXPECT_TRUE(workerRegistry.sharedObjects.empty());
  EXPECT_GE(workerRegistry.sharedObjects.capacity(), 64u);
  EXPECT_TRUE(workerRegistry.workerHandles.empty());
  EXPECT_TRUE(countedQueue.empty());
  EXPECT_TRUE(countedQueueList.empty());
  // The socket start-up's mutex works like any other.
  MutexLock hold(&wsaMutex);
}

TEST(StartupState, RandomStateSeedsFromTheCounterHalves) {
  const RandomState state = seedRandomState(0x0000'0001'0000'0002);
  EXPECT_EQ(state.words[0], 2u);
  EXPECT_EQ(state.words[1], 1u);
  EXPECT_EQ(state.words[2], 3u);
  EXPECT_EQ(state.words[3], 3u);
  EXPECT_EQ(state.fields[0], 0u);
  EXPECT_EQ(state.fields[1], 0u);
  const RandomState wrapping = seedRandomState(0xFFFF'FFFF'0000'0002);
  EXPECT_EQ(wrapping.words[2], 0xFFFF'FFFDu);
  EXPECT_EQ(wrapping.words[3], 1u);  // the sum wraps
}

TEST(StartupState, DataBufferKeepsItsBytesAcrossResizes) {
  DataBuffer buffer;
  buffer.resize(10);
  std::memcpy(buffer.data, "0123456789", 10);
  unsigned char* const first = buffer.data;
  buffer.resize(6);  // not below half the capacity: same block
  EXPECT_EQ(buffer.data, first);
  EXPECT_EQ(buffer.size, 6u);
  EXPECT_EQ(buffer.capacity, 10u);
  buffer.resize(4);  // below half: a block of exactly 4
  EXPECT_EQ(buffer.capacity, 4u);
  EXPECT_EQ(std::memcmp(buffer.data, "0123", 4), 0);
  buffer.resize(8);  // above the size: a new block, the old bytes first
  EXPECT_EQ(buffer.capacity, 8u);
  EXPECT_EQ(std::memcmp(buffer.data, "0123", 4), 0);
  EXPECT_EQ(buffer.end, buffer.data + 8);
  buffer.resize(0);
  EXPECT_EQ(buffer.data, nullptr);
  EXPECT_EQ(buffer.capacity, 0u);
}

TEST(StartupState, ReleasingTheLastWorkerHandleStopsAndAwaitsTheWorker) {
  auto* control = new WorkerControl;
  auto* worker = new WorkerRecord;
  worker->control = control;
  worker->running = 1;
  auto* handle = new WorkerHandle{2, worker};
  std::atomic<bool> sawStopRequest{false};
  std::thread thread([&] {
    for (int i = 0; i < 2000 && control->stopRequest == 0; ++i)
      platform::services.sleep(1);
    sawStopRequest = control->stopRequest != 0;
    platform::services.sleep(50);  // the release must wait for this
    worker->running = 0;
  });

  WorkerHandle* first = handle;
  releaseWorkerHandle(first);  // one holder is left: nothing stops
  EXPECT_EQ(first, nullptr);
  EXPECT_EQ(control->stopRequest, 0);
  EXPECT_EQ(handle->holders, 1);

  WorkerHandle* last = handle;
  releaseWorkerHandle(last);
  EXPECT_TRUE(sawStopRequest);  // set before the release returned
  EXPECT_EQ(last, nullptr);
  thread.join();
  delete control;

  WorkerHandle* empty = nullptr;
  releaseWorkerHandle(empty);
}

}  // namespace
}  // namespace plinth
