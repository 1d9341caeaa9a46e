#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/plinth/net/net_test_support.h"

namespace plinth::platform {
namespace {

using Clock = std::chrono::steady_clock;
using nettest::sendText;
using nettest::Socket;
using std::chrono::milliseconds;

bool nothingReady(const PollResult& result) {
  return !result.failed && !result.exception && !result.ready;
}

milliseconds timeToWait(std::int32_t limit) {
  const auto start = Clock::now();
  services.waitForReadiness(limit);
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// A listener of the test's own, a client, and the accepted end. The listener and the accepted end
// are watched, as every socket a listen or an accept makes; the client is not.
class ReadinessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::uint16_t port = 0;
    ASSERT_TRUE(services.bindAddress(listener.get(), nullptr, 0));
    ASSERT_TRUE(services.listen(listener.get()));
    ASSERT_TRUE(services.localPort(listener.get(), &port));
    client = Socket(nettest::connectTo(port));
    ASSERT_TRUE(nettest::waitFor(listener.get(), PollDirection::readable).ready);
    AddressText peer;
    accepted = Socket(services.accept(listener.get(), &peer));
    ASSERT_NE(accepted.get(), invalidSocket);
    services.renewReadiness();
  }

  Socket listener{(services.startSockets(), services.openStreamSocket())};
  Socket client;
  Socket accepted;
};

// Between snapshots, answers are as of the last one; a socket read since is asked directly, so
// that no receive waits on an old "ready".
TEST_F(ReadinessTest, PollsOfWatchedSocketsAnswerFromTheLatestSnapshot) {
  EXPECT_TRUE(nothingReady(services.poll(accepted.get(), PollDirection::readable)));
  ASSERT_TRUE(sendText(client, "x"));
  std::this_thread::sleep_for(milliseconds(50));  // arrived, but after the snapshot
  EXPECT_TRUE(nothingReady(services.poll(accepted.get(), PollDirection::readable)));
  // A socket no loop watches is always asked directly.
  ASSERT_TRUE(sendText(accepted, "y"));
  EXPECT_TRUE(nettest::waitFor(client.get(), PollDirection::readable).ready);

  services.renewReadiness();
  EXPECT_TRUE(services.poll(accepted.get(), PollDirection::readable).ready);
  char byte = 0;
  ASSERT_EQ(services.receive(accepted.get(), &byte, 1), 1);
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(nothingReady(services.poll(accepted.get(), PollDirection::readable)));
  ASSERT_TRUE(sendText(client, "z"));
  EXPECT_TRUE(nettest::waitFor(accepted.get(), PollDirection::readable).ready);  // asked directly
}

TEST_F(ReadinessTest, AWaitEndsOnActivityOrAStopRequestAndNotBefore) {
  // Generous bounds: the machine is shared. A wait must not end early, and must end long before
  // its limit when something happens.
  EXPECT_GE(timeToWait(60), milliseconds(50));

  // Left out of the wait, a socket with data does not end it; taken back, it does at once.
  ASSERT_TRUE(sendText(client, "wake"));
  services.watchSocket(accepted.get(), false);
  EXPECT_GE(timeToWait(60), milliseconds(50));
  services.watchSocket(accepted.get(), true);
  EXPECT_LT(timeToWait(5000), milliseconds(2500));
  EXPECT_TRUE(services.poll(accepted.get(), PollDirection::readable).ready);
  char bytes[8];
  ASSERT_EQ(services.receive(accepted.get(), bytes, sizeof bytes), 4);

  services.installStopHandler();  // a fresh start: no request yet
  std::thread requester([] {
    std::this_thread::sleep_for(milliseconds(100));
    services.requestStop();
  });
  const milliseconds waited = timeToWait(10'000);
  requester.join();
  EXPECT_TRUE(services.stopRequested());
  EXPECT_GE(waited, milliseconds(50));
  EXPECT_LT(waited, milliseconds(5000));
  services.installStopHandler();  // and the request is forgotten
  EXPECT_FALSE(services.stopRequested());
}

}  // namespace
}  // namespace plinth::platform
