#include "plinth/platform/message_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace plinth::platform {
namespace {

// A stream that blocks while the gate is shut, as a paused terminal does.
std::mutex streamLock;
std::condition_variable streamChanged;
bool gateOpen = true;
bool writerWaiting = false;
std::vector<std::string> written;

bool gatedWrite(const void* bytes, std::size_t count) {
  std::unique_lock<std::mutex> hold(streamLock);
  writerWaiting = true;
  streamChanged.notify_all();
  streamChanged.wait(hold, [] { return gateOpen; });
  writerWaiting = false;
  written.emplace_back(static_cast<const char*>(bytes), count);
  return true;
}

// Messages go whole, in order; those that do not fit while the stream is blocked are dropped
// whole, and their count is said in their place once it takes text again.
TEST(MessageQueueTest, ABlockedStreamCostsWholeMessagesCountedInTheirPlace) {
  written.clear();
  gateOpen = false;
  MessageQueue queue(gatedWrite, 16);
  queue.post("one\n", 4);
  {
    std::unique_lock<std::mutex> hold(streamLock);
    ASSERT_TRUE(
        streamChanged.wait_for(hold, std::chrono::seconds(10), [] { return writerWaiting; }));
  }
  queue.post("two\nsix\nten\n", 12);
  queue.post("four\n", 5);  // one byte too many
  queue.post("pa", 2);      // a message in two writes is dropped whole
  queue.post("rt\n", 3);
  queue.post("\n", 1);  // fits
  {
    std::lock_guard<std::mutex> hold(streamLock);
    gateOpen = true;
    streamChanged.notify_all();
  }
  ASSERT_TRUE(queue.drain(std::chrono::seconds(10)));
  queue.post("after\nrest", 10);
  ASSERT_TRUE(queue.drain(std::chrono::seconds(10)));  // sends what is unfinished as it stands
  EXPECT_EQ(written,
            (std::vector<std::string>{"one\n", "two\n", "six\n", "ten\n",
                                      "(2 messages not shown: standard error was blocked)\r\n",
                                      "\n", "after\n", "rest"}));
}

}  // namespace
}  // namespace plinth::platform
