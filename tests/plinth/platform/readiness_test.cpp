#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/plinth/net/net_test_support.h"

namespace plinth::platform {
namespace {

using Clock = std::chrono::steady_clock;
using nettest::sendText;
using nettest::Socket;
using std::chrono::milliseconds;

std::vector<ReadySocket> ready;

milliseconds timeToWait(std::int32_t limit) {
  const auto start = Clock::now();
  EXPECT_TRUE(services.waitForReadiness(limit, ready));
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// Each watched socket the wait finds ready, once, with its key.
std::vector<std::uintptr_t> readyKeys() {
  EXPECT_TRUE(services.waitForReadiness(2000, ready));
  std::vector<std::uintptr_t> keys;
  for (const ReadySocket& socket : ready) {
    EXPECT_TRUE(socket.ready && !socket.exception);
    keys.push_back(socket.key);
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

// A listener of the test's own, a client, and the accepted end, which the test watches.
class ReadinessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::uint16_t port = 0;
    ASSERT_TRUE(services.bindAddress(
        listener.get(), plinth::platform::anyAddress(plinth::platform::AddressFamily::ipv4, 0)));
    ASSERT_TRUE(services.listen(listener.get()));
    ASSERT_TRUE(services.localPort(listener.get(), &port));
    client = Socket(nettest::connectTo(port));
    ASSERT_TRUE(nettest::waitFor(listener.get(), PollDirection::readable).ready);
    plinth::platform::SocketAddress peer;
    accepted = Socket(services.accept(listener.get(), &peer));
    ASSERT_NE(accepted.get(), invalidSocket);
    ASSERT_TRUE(services.watchSocket(accepted.get(), acceptedKey));
  }
  void TearDown() override {
    services.unwatchSocket(accepted.get());
    services.unwatchSocket(listener.get());
  }

  static constexpr std::uintptr_t acceptedKey = 7;
  static constexpr std::uintptr_t listenerKey = 9;
  Socket listener{
      (services.startSockets(), services.openStreamSocket(plinth::platform::AddressFamily::ipv4))};
  Socket client;
  Socket accepted;
};

// The wait hands back the key of each socket that has something to say, and nothing else: a look
// (no time) finds what is ready now, and a socket left out is not found.
TEST_F(ReadinessTest, AWaitGivesTheReadySocketsWithTheirKeys) {
  ASSERT_TRUE(services.waitForReadiness(0, ready));
  EXPECT_TRUE(ready.empty());
  ASSERT_TRUE(sendText(client, "x"));
  EXPECT_EQ(readyKeys(), std::vector<std::uintptr_t>{acceptedKey});
  EXPECT_EQ(readyKeys(), std::vector<std::uintptr_t>{acceptedKey});  // until it is read
  char byte = 0;
  ASSERT_EQ(services.receive(accepted.get(), &byte, 1), 1);
  ASSERT_TRUE(services.waitForReadiness(0, ready));
  EXPECT_TRUE(ready.empty());
  // A receive with nothing there does not wait.
  ASSERT_EQ(services.receive(accepted.get(), &byte, 1), -1);
  EXPECT_EQ(services.socketErrorKind(services.lastSocketError()), SocketErrorKind::wouldBlock);

  ASSERT_TRUE(services.watchSocket(listener.get(), listenerKey));
  const Socket second(nettest::connectTo([this] {
    std::uint16_t port = 0;
    services.localPort(listener.get(), &port);
    return port;
  }()));
  ASSERT_TRUE(sendText(client, "y"));
  EXPECT_EQ(readyKeys(), (std::vector<std::uintptr_t>{acceptedKey, listenerKey}));
  services.unwatchSocket(listener.get());
  EXPECT_EQ(readyKeys(), std::vector<std::uintptr_t>{acceptedKey});
  ASSERT_TRUE(services.watchSocket(accepted.get(), 11));  // a new key
  EXPECT_EQ(readyKeys(), std::vector<std::uintptr_t>{11});
}

TEST_F(ReadinessTest, AWaitEndsOnActivityOrAStopRequestAndNotBefore) {
  // Generous bounds: the machine is shared. A wait must not end early, and must end long before
  // its limit when something happens.
  EXPECT_GE(timeToWait(60), milliseconds(50));

  // Left out of the wait, a socket with data does not end it; taken back, it does at once.
  ASSERT_TRUE(sendText(client, "wake"));
  services.unwatchSocket(accepted.get());
  EXPECT_GE(timeToWait(60), milliseconds(50));
  ASSERT_TRUE(services.watchSocket(accepted.get(), acceptedKey));
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
