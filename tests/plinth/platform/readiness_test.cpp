#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/plinth/net/net_test_support.h"
#include "tests/support/child_process.h"

namespace plinth::platform {
namespace {

using Clock = std::chrono::steady_clock;
using nettest::sendText;
using nettest::Socket;
using std::chrono::milliseconds;

std::vector<ReadyWatcher> ready;
// Watchers stand in as the addresses of these.
int acceptedWatcher = 0;
int listenerWatcher = 0;
int otherWatcher = 0;
int stopWatcher = 0;

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
    ASSERT_NE(set, nullptr);
    ASSERT_TRUE(services.watchSocket(set, accepted.get(), &acceptedWatcher));
  }
  void TearDown() override { services.closeReadinessSet(set); }

  milliseconds timeToWait(std::int32_t limit) {
    const auto start = Clock::now();
    EXPECT_TRUE(services.waitForReadiness(set, limit, ready));
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
  }

  // Each watched socket the wait finds ready, once, as its watcher.
  std::vector<void*> readyWatchers() {
    EXPECT_TRUE(services.waitForReadiness(set, 2000, ready));
    std::vector<void*> watchers;
    for (const ReadyWatcher& found : ready)
      watchers.push_back(found.watcher);
    std::sort(watchers.begin(), watchers.end());
    return watchers;
  }
  static std::vector<void*> sorted(std::vector<void*> watchers) {
    std::sort(watchers.begin(), watchers.end());
    return watchers;
  }

  ReadinessSet set = services.openReadinessSet();
  Socket listener{
      (services.startSockets(), services.openStreamSocket(plinth::platform::AddressFamily::ipv4))};
  Socket client;
  Socket accepted;
};

// The wait hands back the watcher of each socket that has something to say, and nothing else: a
// look (no time) finds what is ready now, and a socket left out is not found.
TEST_F(ReadinessTest, AWaitGivesTheWatchersOfTheReadySockets) {
  ASSERT_TRUE(services.waitForReadiness(set, 0, ready));
  EXPECT_TRUE(ready.empty());
  ASSERT_TRUE(sendText(client, "x"));
  EXPECT_EQ(readyWatchers(), std::vector<void*>{&acceptedWatcher});
  EXPECT_EQ(readyWatchers(), std::vector<void*>{&acceptedWatcher});  // until it is read
  char byte = 0;
  ASSERT_EQ(services.receive(accepted.get(), &byte, 1), 1);
  ASSERT_TRUE(services.waitForReadiness(set, 0, ready));
  EXPECT_TRUE(ready.empty());
  // A receive with nothing there does not wait.
  ASSERT_EQ(services.receive(accepted.get(), &byte, 1), -1);
  EXPECT_EQ(services.socketErrorKind(services.lastSocketError()), SocketErrorKind::wouldBlock);

  ASSERT_TRUE(services.watchSocket(set, listener.get(), &listenerWatcher));
  const Socket second(nettest::connectTo([this] {
    std::uint16_t port = 0;
    services.localPort(listener.get(), &port);
    return port;
  }()));
  ASSERT_TRUE(sendText(client, "y"));
  EXPECT_EQ(readyWatchers(), sorted({&acceptedWatcher, &listenerWatcher}));
  services.unwatchSocket(set, listener.get());
  EXPECT_EQ(readyWatchers(), std::vector<void*>{&acceptedWatcher});
  ASSERT_TRUE(services.watchSocket(set, accepted.get(), &otherWatcher));  // a new watcher
  EXPECT_EQ(readyWatchers(), std::vector<void*>{&otherWatcher});
  EXPECT_FALSE(ready[0].ended);
  client.close();  // its data is still to be read, and then the end
  EXPECT_EQ(readyWatchers(), std::vector<void*>{&otherWatcher});
  if (!test_support::runningUnderWine()) {  // Wine's WSAPoll does not tell
    EXPECT_TRUE(ready[0].ended);
  }
}

TEST_F(ReadinessTest, AWaitEndsOnActivityOrAStopRequestAndNotBefore) {
  // Generous bounds: the machine is shared. A wait must not end early, and must end long before
  // its limit when something happens.
  EXPECT_GE(timeToWait(60), milliseconds(50));

  // Left out of the wait, a socket with data does not end it; taken back, it does at once.
  ASSERT_TRUE(sendText(client, "wake"));
  services.unwatchSocket(set, accepted.get());
  EXPECT_GE(timeToWait(60), milliseconds(50));
  ASSERT_TRUE(services.watchSocket(set, accepted.get(), &acceptedWatcher));
  EXPECT_LT(timeToWait(5000), milliseconds(2500));
  EXPECT_TRUE(services.poll(accepted.get(), PollDirection::readable).ready);
  char bytes[8];
  ASSERT_EQ(services.receive(accepted.get(), bytes, sizeof bytes), 4);

  services.installStopHandler();  // a fresh start: no request yet
  ASSERT_TRUE(services.watchSocket(set, services.stopWake(), &stopWatcher));
  EXPECT_GE(timeToWait(60), milliseconds(50));
  std::thread requester([] {
    std::this_thread::sleep_for(milliseconds(100));
    services.requestStop();
  });
  const milliseconds waited = timeToWait(10'000);
  requester.join();
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].watcher, &stopWatcher);
  EXPECT_TRUE(services.stopRequested());
  EXPECT_GE(waited, milliseconds(50));
  EXPECT_LT(waited, milliseconds(5000));
  services.installStopHandler();  // and the request is forgotten
  EXPECT_FALSE(services.stopRequested());
  EXPECT_GE(timeToWait(60), milliseconds(50));
  services.unwatchSocket(set, services.stopWake());
}

}  // namespace
}  // namespace plinth::platform
