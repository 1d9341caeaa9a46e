#include "receiver/receiver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fake_connection.h"
#include "receiver_fixture.h"
#include "tests/support/socket.h"

namespace farspeak {
namespace {

using Log = std::vector<std::string>;

// The loop's clients, driven by hand: each takes the turns the test gives it, as the loop would
// call it, at the test's clock.
class ClientsTest : public ReceiverFixture {
 protected:
  FakeConnection* add(std::u16string address) {
    auto* connection = new FakeConnection(std::move(address));
    handlers[connection] =
        &clients.add(plinth::CountedRef<plinth::NetworkConnection>(connection), 0);
    return connection;
  }
  ClientHandler& handler(FakeConnection* connection) { return *handlers.at(connection); }
  // A round: these clients take their turns, in this order; then the round ends and what it wrote
  // goes out.
  void round(std::initializer_list<FakeConnection*> turns) {
    for (FakeConnection* connection : turns)
      clients.serve(handler(connection), now);
    clients.releaseEnded();
    budget.resumeWhenRoom();
    output.writeHeld();
  }

  plinth::EventLoop loop;
  OutputBuffer output;
  MemoryBudget budget;
  Clients clients{loop, output, budget};
  std::map<FakeConnection*, ClientHandler*> handlers;
};

TEST_F(ClientsTest, EveryEndedClientIsReportedInItsTurnAndLetGoAtTheEndOfTheRound) {
  FakeConnection* first = add(u"10.0.0.1");
  FakeConnection* second = add(u"10.0.0.2");
  FakeConnection* third = add(u"10.0.0.3");
  FakeConnection* fourth = add(u"10.0.0.4");
  first->arrive("line\n");
  round({first});
  first->arrive("last");  // held, since the line was just written: written before the report
  round({first});
  log.clear();
  first->end(plinth::stateClosedByPeer);
  second->arrive("hi\n");
  third->end(plinth::stateSocketError);
  fourth->end(plinth::stateClosedByPeer);
  for (FakeConnection* connection : {first, second, third, fourth})
    clients.serve(handler(connection), now);
  // In turn, each client's output before the next report.
  EXPECT_EQ(log, (Log{"last\n", "err:Connection from 10.0.0.1 closed\r\n", "hi\n",
                      "err:Connection from 10.0.0.3 lost\r\n",
                      "err:Connection from 10.0.0.4 closed\r\n"}));
  EXPECT_EQ(clients.list().size(), 4u);
  clients.releaseEnded();
  EXPECT_EQ(clients.list().size(), 1u);
}

// At the end, what a client's connection received is written by the usual rules, its line ended,
// and nothing more is read.
TEST_F(ClientsTest, AtTheEndWhatWasReceivedIsWrittenAndNothingMore) {
  const plinth::platform::Services& net = plinth::platform::realServices();
  plinth::InternetServer server{0};
  const test_support::Socket sender(net.openStreamSocket(plinth::platform::AddressFamily::ipv4));
  ASSERT_TRUE(test_support::connectTo(
      sender.get(),
      plinth::platform::loopbackAddress(plinth::platform::AddressFamily::ipv4, server.getPort())));
  for (int look = 0; look < 5000 && !server.hasPendingConnection(); ++look)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ClientHandler& client = clients.add(server.acceptConnection(), 0);
  const std::string received = "a\nb\npart";
  ASSERT_EQ(net.send(sender.get(), received.data(), static_cast<int>(received.size())),
            static_cast<int>(received.size()));
  for (int look = 0; look < 5000 && log.empty(); ++look) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    clients.serve(client, now);
    output.writeHeld();
  }
  ASSERT_EQ(net.send(sender.get(), "late\n", 5), 5);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  clients.finish(now, false);
  output.writeHeld();
  EXPECT_EQ(log, (Log{"a\nb\n", "part\n"}));
}

// A turn hands over every whole line a client has; a client whose block still holds bytes after a
// piece's worth asks for another turn, and the loop then does not wait.
TEST_F(ClientsTest, AClientWithBytesStillReceivedAsksForAnotherTurn) {
  FakeConnection* older = add(u"10.0.0.1");
  FakeConnection* newer = add(u"10.0.0.2");
  older->arrive("o1\no2\n");
  newer->arrive("n1\n");
  round({older, newer});
  EXPECT_EQ(log, Log{"o1\no2\nn1\n"});  // one write a round: the lines gathered
  EXPECT_FALSE(loop.turnsPending());

  log.clear();
  older->arrive("held");
  round({older});
  older->arrive(std::string(longestPiece, 'y') + "\n");
  round({older});  // the held line fills a piece from the block, whose last bytes wait
  EXPECT_TRUE(loop.turnsPending());
  round({older});
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].size(), longestPiece);
  EXPECT_EQ(log[1], "yyyy\n");
}

// A client that holds part of a line has its timer set for half a second after the first byte it
// holds came, whenever it last wrote; its turn then writes it.
TEST_F(ClientsTest, AHeldPieceHasItsTimerAndIsWrittenWhenDue) {
  FakeConnection* early = add(u"10.0.0.1");
  FakeConnection* late = add(u"10.0.0.2");
  late->arrive("a line\n");
  round({late});
  EXPECT_FALSE(handler(late).scheduled());

  early->arrive("half");
  round({early});
  const double earlyStart = now;
  advance(100);
  late->arrive("half");
  round({late});
  EXPECT_EQ(handler(early).due(), earlyStart + pieceInterval);
  EXPECT_EQ(handler(late).due(), now + pieceInterval);

  early->arrive(" done\n");
  round({early});
  EXPECT_FALSE(handler(early).scheduled());
  log.clear();
  advance(501);
  round({late});
  EXPECT_EQ(log, Log{"half"});
  EXPECT_FALSE(handler(late).scheduled());
}

// Over the budget, the clients that hold bytes are held off: their turns read nothing until what is
// held has fallen; a client that holds nothing is still read, a short receive at a time. Each
// change is said once.
TEST_F(ClientsTest, OverTheBudgetTheClientsThatHoldBytesWait) {
  FakeConnection* big = add(u"10.0.0.1");
  FakeConnection* bigger = add(u"10.0.0.2");
  FakeConnection* light = add(u"10.0.0.3");
  budget.afterTurn(handler(big).record, MemoryBudget::budget / 2);
  budget.afterTurn(handler(bigger).record, MemoryBudget::budget / 2 + 1);
  EXPECT_EQ(budget.beforeTurn(handler(big)), 0u);
  EXPECT_EQ(budget.beforeTurn(handler(light)), MemoryBudget::shortReceive);
  budget.resumeWhenRoom();
  EXPECT_TRUE(budget.readingHeldOff());
  bigger->arrive("waits\n");
  clients.serve(handler(bigger), now);  // held off: nothing read; what it holds is counted anew
  EXPECT_EQ(bigger->waiting(), 6u);
  budget.resumeWhenRoom();
  EXPECT_FALSE(budget.readingHeldOff());
  EXPECT_EQ(budget.beforeTurn(handler(light)), SIZE_MAX);
  round({bigger});
  EXPECT_EQ(log,
            (Log{"err:Clients hold 64 MiB not yet written: reading from the busiest waits until "
                 "it is\r\n",
                 "err:Reading from every client again\r\n", "waits\n"}));
}

// The loop itself, on a server of its own (a port the system hands out) and real clients, with a
// stop requested as a signal would.
class ServeClientsTest : public ::testing::Test {
 protected:
  using Clock = std::chrono::steady_clock;

  void SetUp() override {
    plinth::startConsole();
    plinth::platform::services.installStopHandler();  // no request left from before
    ASSERT_TRUE(server.isRunning());
  }

  void start() {
    loop = std::thread([this] { end = serveClients({&server}); });
  }
  // Asks the loop to stop; true when it has within `limit`.
  bool stop(std::chrono::milliseconds limit) {
    const auto asked = Clock::now();
    plinth::platform::services.requestStop();
    loop.join();
    plinth::platform::services.installStopHandler();
    return Clock::now() - asked < limit;
  }

  plinth::platform::SocketHandle connect() {
    const plinth::platform::SocketHandle client =
        net.openStreamSocket(plinth::platform::AddressFamily::ipv4);
    EXPECT_TRUE(test_support::connectTo(
        client, plinth::platform::loopbackAddress(plinth::platform::AddressFamily::ipv4,
                                                  server.getPort())));
    return client;
  }
  static void send(const test_support::Socket& client, const std::string& text) {
    ASSERT_EQ(net.send(client.get(), text.data(), static_cast<int>(text.size())),
              static_cast<int>(text.size()));
  }

  // When standard output first held `text`, at most `limit` from now.
  static std::optional<Clock::time_point> written(const std::string& text,
                                                  std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    do {
      {
        std::lock_guard<std::mutex> hold(outputLock);
        for (const auto& [at, bytes] : writes) {
          if (bytes.find(text) != std::string::npos)
            return at;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } while (Clock::now() < deadline);
    return std::nullopt;
  }

  static bool capture(const plinth::platform::ByteRange* ranges, std::size_t count) {
    std::lock_guard<std::mutex> hold(outputLock);
    writes.emplace_back(Clock::now(), joined(ranges, count));
    return true;
  }
  static bool captureMessages(const void* bytes, std::size_t count) {
    std::lock_guard<std::mutex> hold(outputLock);
    messages.append(static_cast<const char*>(bytes), count);
    return true;
  }

  static inline const plinth::platform::Services& net = plinth::platform::realServices();
  static inline std::mutex outputLock;
  static inline std::vector<std::pair<Clock::time_point, std::string>> writes;
  static inline std::string messages;
  plinth::platform::ServiceOverride<bool (*)(const plinth::platform::ByteRange*, std::size_t)>
      output{&plinth::platform::Services::writeStandardOutput, capture};
  plinth::platform::ServiceOverride<bool (*)(const void*, std::size_t)> error{
      &plinth::platform::Services::writeStandardError, captureMessages};
  plinth::InternetServer server{0};
  std::thread loop;
  LoopEnd end = LoopEnd::stopRequested;
};

TEST_F(ServeClientsTest, AnUnfinishedLineWaitsHalfASecondAndNoLongerThenAStopEndsTheWait) {
  start();
  const test_support::Socket client(connect());
  send(client, "line\n");
  ASSERT_TRUE(written("line\n", std::chrono::seconds(10)));
  const Clock::time_point partSent = Clock::now();
  send(client, "part");
  const auto partWritten = written("part", std::chrono::seconds(10));
  ASSERT_TRUE(partWritten);
  // More than half a second after it came, and soon after that: the loop's wait ends when the
  // piece falls due. Generous bounds: the machine is shared.
  EXPECT_GE(*partWritten - partSent, std::chrono::milliseconds(495));
  EXPECT_LT(*partWritten - partSent, std::chrono::milliseconds(900));

  // Idle, nothing held: the wait has no time limit, and a stop request ends it.
  send(client, "held");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(stop(std::chrono::seconds(2)));
  EXPECT_TRUE(written("held", std::chrono::milliseconds(0)));  // written on the way out
  EXPECT_EQ(end, LoopEnd::stopRequested);
}

std::atomic<int> socketCalls{0};  // polls and receives
plinth::platform::PollResult countedPoll(plinth::platform::SocketHandle socket,
                                         plinth::platform::PollDirection direction) {
  ++socketCalls;
  return plinth::platform::realServices().poll(socket, direction);
}
int countedReceive(plinth::platform::SocketHandle socket, void* buffer, int count) {
  ++socketCalls;
  return plinth::platform::realServices().receive(socket, buffer, count);
}

// A pass serves the clients with work: one client's lines cost as much among fifty idle clients
// as they would alone, and no idle client is polled or read.
TEST_F(ServeClientsTest, AClientAmongManyIdleOnesIsServedWithoutTouchingThem) {
  plinth::platform::ServiceOverride polls(&plinth::platform::Services::poll, countedPoll);
  plinth::platform::ServiceOverride receives(&plinth::platform::Services::receive, countedReceive);
  start();
  std::list<test_support::Socket> idle;
  for (int client = 0; client < 50; ++client)
    idle.emplace_back(connect());
  const test_support::Socket active(connect());
  send(active, "first\n");
  ASSERT_TRUE(written("first\n", std::chrono::seconds(10)));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // every client accepted

  socketCalls = 0;
  constexpr int lines = 20;
  for (int line = 0; line < lines; ++line) {
    const std::string text = "line " + std::to_string(line) + "\n";
    send(active, text);
    ASSERT_TRUE(written(text, std::chrono::seconds(10)));
  }
  EXPECT_LE(socketCalls.load(), lines + 5);  // a receive a line; a walk would make 51 a pass
  EXPECT_TRUE(stop(std::chrono::seconds(5)));
}

std::atomic<bool> pollsFail{false};
plinth::platform::PollResult failingPoll(plinth::platform::SocketHandle socket,
                                         plinth::platform::PollDirection direction) {
  if (pollsFail)
    return {.failed = true};
  return plinth::platform::realServices().poll(socket, direction);
}

std::atomic<bool> waitsFail{false};
bool failingWait(plinth::platform::ReadinessSet set, std::int32_t milliseconds,
                 std::vector<plinth::platform::ReadyWatcher>& ready) {
  return !waitsFail && plinth::platform::realServices().waitForReadiness(set, milliseconds, ready);
}

// A listener that fails, or a wait for the sockets that fails, ends the loop, with what the
// clients sent written first, and says why.
TEST_F(ServeClientsTest, AFailingListenerOrWaitEndsTheLoopAfterTheClientsOutput) {
  plinth::platform::ServiceOverride polls(&plinth::platform::Services::poll, failingPoll);
  plinth::platform::ServiceOverride waits(&plinth::platform::Services::waitForReadiness,
                                          failingWait);
  for (const bool listenerFails : {false, true}) {  // a failed wait leaves the server running
    SCOPED_TRACE(listenerFails ? "listener" : "wait");
    pollsFail = waitsFail = false;
    {
      std::lock_guard<std::mutex> hold(outputLock);
      writes.clear();
      messages.clear();
    }
    start();
    const test_support::Socket client(connect());
    send(client, "line\n");
    ASSERT_TRUE(written("line\n", std::chrono::seconds(10)));
    send(client, "held");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    (listenerFails ? pollsFail : waitsFail) = true;
    const test_support::Socket another(connect());  // wakes the loop, which meets the failure
    loop.join();
    EXPECT_EQ(end, listenerFails ? LoopEnd::listenerFailed : LoopEnd::waitFailed);
    EXPECT_TRUE(written("held", std::chrono::milliseconds(0)));
    std::lock_guard<std::mutex> hold(outputLock);
    EXPECT_NE(messages.find(listenerFails ? "The listening socket failed (error "
                                          : "Waiting for the sockets failed (error "),
              std::string::npos)
        << messages;
  }
}

int acceptCalls = 0;
plinth::platform::SocketHandle failingAccept(plinth::platform::SocketHandle,
                                             plinth::platform::SocketAddress*) {
  ++acceptCalls;
  return plinth::platform::invalidSocket;
}

TEST_F(ServeClientsTest, AClientThatCannotBeAcceptedDoesNotMakeTheLoopSpin) {
  plinth::platform::ServiceOverride refuse(&plinth::platform::Services::accept, failingAccept);
  acceptCalls = 0;
  start();
  const test_support::Socket client(connect());  // waits in the queue: the listener stays ready
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_TRUE(stop(std::chrono::seconds(2)));
  // About one try every 100 ms; a loop spinning on the ready listener makes thousands.
  EXPECT_GE(acceptCalls, 1);
  EXPECT_LE(acceptCalls, 20);
}

// With -p 0 and two listeners, the second binds the port the first picked. Where a real socket
// holds that port on the second address, as many times as `takenTimes` says, all start again
// on another port, five times in all.
class RunReceiverTest : public ReceiverFixture {
 protected:
  using SocketAddress = plinth::platform::SocketAddress;

  static bool recordingBind(plinth::platform::SocketHandle socket, const SocketAddress& address) {
    const plinth::platform::Services& real = plinth::platform::realServices();
    binds.push_back(address);
    // The system may pick an attempt's port again: its holder goes before the next attempt.
    if (real.addressText(address) == "127.0.0.1")
      holders.clear();
    if (real.addressText(address) == "127.0.0.2" && takenTimes > 0) {
      --takenTimes;
      const test_support::Socket& holder =
          holders.emplace_back(real.openStreamSocket(address.family));
      EXPECT_TRUE(real.bindAddress(holder.get(), address) && real.listen(holder.get()));
    }
    return real.bindAddress(socket, address);
  }
  Options twoListenersOnAFreePort() const {
    Options options;
    options.port = 0;
    options.listenAddresses = {"127.0.0.1", "127.0.0.2"};
    return options;
  }

  static inline std::vector<SocketAddress> binds;
  static inline int takenTimes = 0;
  static inline std::list<test_support::Socket> holders;
  plinth::platform::ServiceOverride<bool (*)(plinth::platform::SocketHandle, const SocketAddress&)>
      bind{&Services::bindAddress, recordingBind};
};

TEST_F(RunReceiverTest, WithPortZeroATakenPortIsPickedAgainFiveTimesAtMost) {
  for (const int taken : {0, 2, 4, 5}) {
    SCOPED_TRACE(std::to_string(taken) + " times taken");
    log.clear();
    binds.clear();
    holders.clear();
    takenTimes = taken;
    const bool started = taken < 5;
    plinth::platform::services.installStopHandler();
    plinth::platform::services.requestStop();  // stops it at once once it runs
    EXPECT_EQ(runReceiver(twoListenersOnAFreePort()), started);
    plinth::platform::services.installStopHandler();
    const auto attempts = static_cast<std::size_t>(started ? taken + 1 : 5);
    ASSERT_EQ(binds.size(), 2 * attempts);
    for (std::size_t attempt = 0; attempt < attempts; ++attempt) {
      EXPECT_EQ(binds[2 * attempt].port, 0);
      EXPECT_NE(binds[2 * attempt + 1].port, 0);
    }
    ASSERT_GE(log.size(), started ? 3u : 2u);
    if (started) {
      EXPECT_EQ(log[0],
                "err:Farspeak started on port " + std::to_string(binds.back().port) + "!\r\n");
      EXPECT_EQ(log[2], "err:host address=127.0.0.1 127.0.0.2\r\n");
    } else {
      EXPECT_EQ(log[0], "err:Couldn't start the server\r\n");
      const std::string reason = "err:a free port on 127.0.0.2 is already in use (";
      EXPECT_EQ(log[1].substr(0, reason.size()), reason) << log[1];
    }
  }
  holders.clear();
}

}  // namespace
}  // namespace farspeak
