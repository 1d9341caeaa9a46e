#include "plinth/event/event_loop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "tests/plinth/net/net_test_support.h"

namespace plinth {
namespace {

using nettest::patience;

struct NamedTimer final : Timer {
  NamedTimer(std::string name, std::vector<std::string>& fired)
      : name(std::move(name)), fired(fired) {}
  void onTimer() override { fired.push_back(name); }
  std::string name;
  std::vector<std::string>& fired;
};

struct Action final : Timer {
  explicit Action(std::function<void()> action) : action(std::move(action)) {}
  void onTimer() override { action(); }
  std::function<void()> action;
};

// Timers run once the clock has passed their times, earliest first, whatever order they were set
// in; a timer set again moves, and a cancelled one never runs. The loop waits for them meanwhile.
TEST(EventLoopTest, TimersRunInTheOrderOfTheirTimes) {
  EventLoop loop;
  std::vector<std::string> fired;
  NamedTimer a("a", fired), b("b", fired), c("c", fired), d("d", fired), e("e", fired);
  const double start = loop.now();
  loop.schedule(a, start + 0.010);
  loop.schedule(b, start + 0.020);
  loop.schedule(c, start + 0.030);
  loop.schedule(d, start + 0.015);  // between a and b
  loop.schedule(a, start + 0.035);  // moved behind c
  loop.schedule(e, start + 0.001);
  loop.cancel(e);
  Action end([&] { loop.stop(); });
  loop.schedule(end, start + 0.040);
  const auto began = std::chrono::steady_clock::now();
  ASSERT_TRUE(loop.run());
  EXPECT_EQ(fired, (std::vector<std::string>{"d", "b", "c", "a"}));
  EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(35));
  EXPECT_FALSE(a.scheduled());
}

// The watcher of a socket with something to say is called, once a round, and so is one that asked
// for another turn; a watcher that stops reading is not called for its socket, and one that leaves
// is not called at all.
TEST(EventLoopTest, WatchersAreCalledForTheirSocketsAndForTheTurnsTheyAskFor) {
  const platform::Services& net = nettest::real;
  net.startSockets();
  InternetServer server(0);
  const nettest::Socket client(nettest::connectTo(server.getPort()));
  CountedRef<InternetConnection> accepted = nettest::acceptWithin(server);
  ASSERT_TRUE(accepted);

  struct Counter final : Watcher {
    void onReadable() override {
      ++calls;
      if (again > 0 && again--)
        loop->callAgain(*this);
    }
    EventLoop* loop = nullptr;
    int calls = 0;
    int again = 0;
  };
  EventLoop loop;
  Counter counter;
  counter.loop = &loop;
  ASSERT_TRUE(loop.watch(counter, accepted->handle()));
  int rounds = 0;
  loop.setBeforeWait([&] {
    if (++rounds == 3)
      loop.stop();
  });
  counter.again = 2;
  ASSERT_TRUE(nettest::sendText(client, "x"));  // never read: ready every round
  ASSERT_TRUE(nettest::waitFor(accepted->handle(), platform::PollDirection::readable).ready);
  ASSERT_TRUE(loop.run());
  EXPECT_EQ(counter.calls, 3);  // ready and asking for more: still once a round

  Action end([&] { loop.stop(); });
  loop.setReading(counter, false);
  loop.setBeforeWait({});
  loop.schedule(end, loop.now() + 0.05);
  loop.callAgain(counter);  // not reading, but a turn it asked for
  ASSERT_TRUE(loop.run());
  EXPECT_EQ(counter.calls, 4);
  loop.callAgain(counter);
  loop.unwatch(counter);
  loop.schedule(end, loop.now() + 0.05);
  ASSERT_TRUE(loop.run());
  EXPECT_EQ(counter.calls, 4);
}

// A crowd whose peers have all ended waits for the watcher with something to read, and a round
// takes a few of them at most: a client with a line is not held up by many leaving at once.
TEST(EventLoopTest, WatchersWhosePeersEndedComeLastAndAFewARound) {
  nettest::real.startSockets();
  InternetServer server(0);
  struct Peer final : Watcher {
    void onReadable() override {
      order->push_back(this);
      loop->unwatch(*this);
    }
    EventLoop* loop = nullptr;
    std::vector<Watcher*>* order = nullptr;
    nettest::Socket client;
    CountedRef<InternetConnection> accepted;
  };
  EventLoop loop;
  std::vector<Watcher*> order;
  std::vector<Peer> peers(100);
  for (Peer& peer : peers) {
    peer.loop = &loop;
    peer.order = &order;
    peer.client = nettest::Socket(nettest::connectTo(server.getPort()));
    peer.accepted = nettest::acceptWithin(server);
    ASSERT_TRUE(peer.accepted && loop.watch(peer, peer.accepted->handle()));
  }
  for (std::size_t peer = 0; peer + 1 < peers.size(); ++peer)
    peers[peer].client.close();
  ASSERT_TRUE(nettest::sendText(peers.back().client, "x"));
  for (Peer& peer : peers)
    ASSERT_TRUE(nettest::waitFor(peer.accepted->handle(), platform::PollDirection::readable).ready);
  std::vector<std::size_t> calledInRound;
  loop.setBeforeWait([&] {
    calledInRound.push_back(order.size());
    if (order.size() == peers.size())
      loop.stop();
  });
  ASSERT_TRUE(loop.run());
  EXPECT_EQ(order.front(), &peers.back());
  ASSERT_GE(calledInRound.size(), 2u);
  EXPECT_LE(calledInRound[0], 65u);
}

}  // namespace
}  // namespace plinth
