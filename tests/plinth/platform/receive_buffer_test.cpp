#include "plinth/platform/receive_buffer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/plinth/net/net_test_support.h"

namespace plinth::platform {
namespace {

using nettest::sendText;
using nettest::Socket;

int systemPolls = 0;
PollResult countSystemPoll(SocketHandle socket, PollDirection direction) {
  ++systemPolls;
  return realServices().poll(socket, direction);
}

int systemReceives = 0;
int countSystemReceive(SocketHandle socket, void* buffer, int count) {
  ++systemReceives;
  return realServices().receive(socket, buffer, count);
}

// Polls through the buffered path until it shows something, for at most the tests' patience.
PollResult waitReadable(SocketHandle socket) {
  const auto deadline = std::chrono::steady_clock::now() + nettest::patience;
  PollResult result = buffered::poll(socket, PollDirection::readable);
  while (!result.ready && !result.failed && !result.exception &&
         std::chrono::steady_clock::now() < deadline) {
    nettest::pause();
    result = buffered::poll(socket, PollDirection::readable);
  }
  return result;
}

// A listener of the test's own, a client, and the accepted end read through the buffered path.
class BufferedReceiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::uint16_t port = 0;
    ASSERT_EQ(services.startSockets(), 0);
    ASSERT_TRUE(services.bindAnyAddress(listener.get(), 0));
    ASSERT_TRUE(services.listen(listener.get()));
    ASSERT_TRUE(services.localPort(listener.get(), &port));
    client = Socket(nettest::connectTo(port));
    ASSERT_TRUE(waitReadable(listener.get()).ready);
    AddressText peer;
    accepted = services.accept(listener.get(), &peer);
    ASSERT_NE(accepted, invalidSocket);
  }
  void TearDown() override {
    if (accepted != invalidSocket)
      buffered::closeSocket(accepted);
  }

  // Reads one byte the way the connection classes do: a poll, then a receive of one byte.
  int nextByte() {
    const PollResult result = waitReadable(accepted);
    if (!result.ready)
      return -2;
    unsigned char byte = 0;
    const int got = buffered::receive(accepted, &byte, 1);
    return got == 1 ? byte : got;
  }

  Socket listener{(services.startSockets(), services.openStreamSocket())};
  Socket client;
  SocketHandle accepted = invalidSocket;
};

TEST_F(BufferedReceiveTest, OneSystemReceiveServesManyOneByteReceives) {
  ASSERT_TRUE(sendText(client, "hello"));
  ASSERT_TRUE(waitReadable(accepted).ready);
  ServiceOverride polls(&Services::poll, countSystemPoll);
  ServiceOverride receives(&Services::receive, countSystemReceive);
  systemPolls = systemReceives = 0;
  std::string got;
  for (int i = 0; i < 5; ++i)
    got += static_cast<char>(nextByte());
  EXPECT_EQ(got, "hello");
  EXPECT_EQ(systemReceives, 1);
  EXPECT_EQ(systemPolls, 1);  // before the first receive; the held bytes answer the rest
}

TEST_F(BufferedReceiveTest, TheEndComesAfterEveryHeldByte) {
  ASSERT_TRUE(sendText(client, "abc"));
  client.close();
  EXPECT_EQ(nextByte(), 'a');
  EXPECT_EQ(nextByte(), 'b');
  EXPECT_EQ(nextByte(), 'c');
  EXPECT_EQ(nextByte(), 0);  // end of stream, once the bytes are out
}

TEST_F(BufferedReceiveTest, AReadDoesNotLeaveAStaleReadyBehind) {
  ASSERT_TRUE(sendText(client, "x"));
  EXPECT_EQ(nextByte(), 'x');
  // The system has nothing more: no poll may claim otherwise, or the next receive would wait.
  for (int i = 0; i < 3; ++i) {
    const PollResult result = buffered::poll(accepted, PollDirection::readable);
    EXPECT_FALSE(result.ready || result.failed || result.exception);
  }
  ASSERT_TRUE(sendText(client, "y"));
  EXPECT_EQ(nextByte(), 'y');
}

TEST_F(BufferedReceiveTest, CloseDropsHeldBytes) {
  ASSERT_TRUE(sendText(client, "held"));
  EXPECT_EQ(nextByte(), 'h');
  ASSERT_TRUE(buffered::closeSocket(accepted));
  // The number may be handed out again; a poll of it must not find the old bytes.
  const PollResult result = buffered::poll(accepted, PollDirection::readable);
  EXPECT_TRUE(result.failed);
  accepted = invalidSocket;
}

TEST_F(BufferedReceiveTest, LargeReceivesAndBigBurstsArriveWhole) {
  std::string burst;
  for (int i = 0; burst.size() < 200'000; ++i)
    burst += std::to_string(i) + ',';
  std::thread sender([&] { sendText(client, burst); });
  std::string got;
  char piece[100'000];
  const auto deadline = std::chrono::steady_clock::now() + nettest::patience;
  while (got.size() < burst.size() && std::chrono::steady_clock::now() < deadline) {
    if (!waitReadable(accepted).ready)
      break;
    // Alternate byte-sized and block-sized receives across the buffer's edges.
    const int want = got.size() % 3 == 0 ? 1 : static_cast<int>(sizeof piece);
    const int n = buffered::receive(accepted, piece, want);
    if (n <= 0)
      break;
    got.append(piece, static_cast<std::size_t>(n));
  }
  sender.join();
  EXPECT_TRUE(got == burst) << got.size() << " of " << burst.size();
}

TEST_F(BufferedReceiveTest, IdleWaitEndsEarlyOnActivityButNotBeforeTheMinimum) {
  using Clock = std::chrono::steady_clock;
  auto start = Clock::now();
  services.waitForActivity(20, 40);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(20));

  ASSERT_TRUE(sendText(client, "wake"));
  ASSERT_TRUE(waitReadable(accepted).ready);
  start = Clock::now();
  services.waitForActivity(1, 5000);  // something is ready: no need to wait for the maximum
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1));
}

}  // namespace
}  // namespace plinth::platform
