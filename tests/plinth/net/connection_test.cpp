#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "net_test_support.h"
#include "plinth/net/internet_connection_impl.h"
#include "plinth/net/internet_server.h"
#include "plinth/net/sockets.h"
#include "tests/support/child_process.h"

// Only what the services do not offer: urgent data, the system's reset code, telling Wine from
// Windows, and renumbering a socket.
#ifdef _WIN32
#include <winsock2.h>
using NativeSocket = SOCKET;
constexpr int connectionReset = WSAECONNRESET;
#else
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
using NativeSocket = int;
constexpr int connectionReset = ECONNRESET;
#endif

namespace plinth {
namespace {

using namespace nettest;
using platform::ServiceOverride;
using platform::Services;
using platform::ShutdownDirection;
using platform::SocketHandle;

using test_support::runningUnderWine;

// The failures below report this code on every system, so their messages read the same.
constexpr int fakeErrorCode = 10054;
int fakeError() {
  return fakeErrorCode;
}
int failingReceive(SocketHandle, void*, int) {
  return -1;
}
platform::PollResult failingPoll(SocketHandle, platform::PollDirection) {
  return {.failed = true};
}

int receiveCalls = 0;
int countedReceive(SocketHandle socket, void* buffer, int count) {
  ++receiveCalls;
  return real.receive(socket, buffer, count);
}

int sendCalls = 0;
std::vector<int> askedPieces;
int loggedSend(SocketHandle socket, const void* bytes, int count) {
  ++sendCalls;
  askedPieces.push_back(count);
  return real.send(socket, bytes, count);
}

// Lets this many pieces through, each cut to at most 200 bytes, then fails.
int piecesBeforeFailure = 0;
int sendThenFail(SocketHandle socket, const void* bytes, int count) {
  if (piecesBeforeFailure == 0)
    return -1;
  --piecesBeforeFailure;
  return real.send(socket, bytes, count < 200 ? count : 200);
}

std::vector<std::string> closeCalls;
bool loggedLinger(SocketHandle socket, std::uint16_t seconds) {
  closeCalls.push_back("setLinger " + std::to_string(seconds));
  return real.setLinger(socket, seconds);
}
bool loggedShutdown(SocketHandle socket, ShutdownDirection direction) {
  closeCalls.push_back(direction == ShutdownDirection::send ? "shutdown send" : "shutdown receive");
  return real.shutdown(socket, direction);
}
bool loggedCloseSocket(SocketHandle socket) {
  closeCalls.push_back("closeSocket");
  return real.closeSocket(socket);
}

// A server on a port the system hands out, one client of it, and the connection it accepted.
class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.isRunning());
    ASSERT_NE(client_.get(), platform::invalidSocket);
    connection_ = acceptWithin(server_);
    ASSERT_TRUE(connection_);
  }

  InternetServer server_{0};  // first: it starts the sockets, which Windows needs for the client
  Socket client_{connectTo(server_.getPort())};
  CountedRef<InternetConnection> connection_;
};

TEST_F(ConnectionTest, PeekHoldsOneByteBackUntilItIsRead) {
  EXPECT_STREQ(narrow(connection_->getAddress()).c_str(), "127.0.0.1");
  EXPECT_EQ(connection_->peekByte(), -1);  // nothing sent yet: no wait, still open
  EXPECT_TRUE(connection_->isConnected());
  EXPECT_EQ(connection_->getState(), stateOpen);

  ASSERT_TRUE(sendText(client_, "AB"));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // both bytes have arrived
  ASSERT_EQ(peekWithin(*connection_), 'A');
  receiveCalls = 0;
  {
    ServiceOverride countReceives(&Services::receive, countedReceive);
    EXPECT_EQ(connection_->peekByte(), 'A');
    EXPECT_EQ(connection_->readByte(), 'A');
    EXPECT_EQ(connection_->peekByte(), 'B');
    EXPECT_EQ(receiveCalls, 1);  // the held byte came without one; the next took one byte
  }
  EXPECT_EQ(connection_->readByte(), 'B');
  EXPECT_EQ(connection_->peekByte(), -1);
  EXPECT_TRUE(connection_->isConnected());
  EXPECT_EQ(connection_->getByteCount(), 0u);  // received bytes are not counted
}

TEST_F(ConnectionTest, ReadCountsTheHeldByteAndStopsShortOnlyAtTheEnd) {
  // Everything, and the end of the stream, is on its way before the first read: a read that took
  // too much would stop at the end rather than wait for ever.
  ASSERT_TRUE(sendText(client_, "hellowxyz"));
  client_.close();
  ASSERT_EQ(peekWithin(*connection_), 'h');
  char buffer[11] = {};
  EXPECT_EQ(connection_->read(buffer, 5), 5);
  EXPECT_STREQ(buffer, "hello");
  EXPECT_EQ(connection_->getState(), stateOpen);

  char rest[11] = {};
  EXPECT_EQ(connection_->read(rest, 10), 4);
  EXPECT_STREQ(rest, "wxyz");
  EXPECT_EQ(connection_->getState(), stateClosedByPeer);
  EXPECT_FALSE(connection_->isConnected());
}

// Reads that never wait, byte reads and blocking reads take from the same stream, in order, the
// byte peekByte holds back first; closing with a byte held back drops it.
TEST_F(ConnectionTest, EveryKindOfReadTakesFromTheSameStream) {
  std::string burst;
  for (int i = 0; burst.size() < 300'000; ++i)
    burst += std::to_string(i) + ',';
  std::thread sender([&] { sendText(client_, burst); });
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + patience;
  for (int turn = 0; got.size() < burst.size() && std::chrono::steady_clock::now() < deadline;
       ++turn) {
    if (turn % 3 == 0) {
      char piece[5000];
      const NetworkConnection::Read read =
          connection_->readSome(piece, static_cast<std::int32_t>(1 + turn % sizeof piece));
      got.append(piece, static_cast<std::size_t>(read.count));
      if (read.kind == NetworkConnection::Read::nothingYet)
        pause();
    } else if (turn % 3 == 1) {
      if (connection_->peekByte() != -1)
        got += static_cast<char>(connection_->readByte());
    } else if (peekWithin(*connection_) != -1) {
      char piece[20'000];
      const auto want =
          static_cast<std::int32_t>(std::min(sizeof piece, burst.size() - got.size()));
      got.append(piece, static_cast<std::size_t>(connection_->read(piece, want)));
    }
  }
  sender.join();
  EXPECT_TRUE(got == burst) << got.size() << " of " << burst.size();

  ASSERT_TRUE(sendText(client_, "held"));
  ASSERT_EQ(peekWithin(*connection_), 'h');
  connection_->close();
  char byte = 0;
  EXPECT_EQ(connection_->readSome(&byte, 1).kind, NetworkConnection::Read::ended);
  EXPECT_FALSE(connection_->isConnected());
}

TEST_F(ConnectionTest, ThePeersCloseEndsTheConnectionInOrder) {
  ASSERT_EQ(connection_->write("abc", 3), 3);
  // The client takes every byte before it closes: unread bytes would turn its close into a reset.
  ASSERT_EQ(receiveUpTo(client_.get(), 3), "abc");
  client_.close();

  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (connection_->isConnected() && std::chrono::steady_clock::now() < deadline) {
    ASSERT_EQ(connection_->peekByte(), -1);
    pause();
  }
  ASSERT_FALSE(connection_->isConnected());
  EXPECT_EQ(connection_->getState(), stateClosedByPeer);

  // Once ended, nothing reaches the socket and nothing is reported.
  ConsoleCapture console;
  receiveCalls = 0;
  sendCalls = 0;
  ServiceOverride countReceives(&Services::receive, countedReceive);
  ServiceOverride countSends(&Services::send, loggedSend);
  EXPECT_EQ(connection_->readByte(), -1);
  char buffer[4];
  EXPECT_EQ(connection_->read(buffer, 4), 0);
  EXPECT_EQ(connection_->write("more", 4), 0);
  EXPECT_FALSE(connection_->writeByte('!'));
  EXPECT_EQ(receiveCalls, 0);
  EXPECT_EQ(sendCalls, 0);
  EXPECT_EQ(connection_->getByteCount(), 3u);
  EXPECT_EQ(connection_->getState(), stateClosedByPeer);
  EXPECT_EQ(console.text(), "");
}

TEST_F(ConnectionTest, APeerResetIsASocketError) {
  if (runningUnderWine())
    GTEST_SKIP() << "Wine passes a reset on as an orderly close";
  ASSERT_TRUE(real.setLinger(client_.get(), 0));  // a zero linger makes the close a reset
  client_.close();
  ConsoleCapture console;
  ASSERT_TRUE(endsWithin(*connection_));
  EXPECT_EQ(connection_->getState(), stateSocketError);
  EXPECT_EQ(console.text(), "Socket read error: " + std::to_string(connectionReset) + "\r\n");
}

TEST_F(ConnectionTest, UrgentDataIsAnOrdinaryByteInItsPlace) {
  const auto native = static_cast<NativeSocket>(client_.get());
  ASSERT_TRUE(sendText(client_, "ab"));
  ASSERT_EQ(::send(native, "!", 1, MSG_OOB), 1);
  ASSERT_TRUE(sendText(client_, "cd"));
  char received[5] = {};
  EXPECT_EQ(connection_->read(received, 5), 5);
  EXPECT_EQ(std::string(received, 5), "ab!cd");
  EXPECT_TRUE(connection_->isConnected());
  EXPECT_EQ(connection_->getState(), stateOpen);
}

TEST_F(ConnectionTest, WriteSendsEveryByteInPiecesOfAtMost10240) {
  std::string data;
  for (int i = 0; i < 30000; ++i)
    data += static_cast<char>('a' + i % 23);
  // The client reads while the connection writes, so a full socket buffer cannot stall the test.
  std::string received;
  std::thread reader([&] { received = receiveUpTo(client_.get(), data.size() + 1); });

  askedPieces.clear();
  {
    ServiceOverride logSends(&Services::send, loggedSend);
    EXPECT_EQ(connection_->write(data.data(), static_cast<std::int32_t>(data.size())), 30000);
    EXPECT_TRUE(connection_->writeByte('!'));
  }
  reader.join();
  EXPECT_EQ(received, data + "!");
  EXPECT_EQ(connection_->getByteCount(), 30001u);
  ASSERT_GE(askedPieces.size(), 4u);
  EXPECT_EQ(askedPieces.front(), 10240);
  for (int piece : askedPieces)
    EXPECT_LE(piece, 10240);
}

TEST_F(ConnectionTest, CloseLingersOnlyAfterWritingAndShutsDownOnlyAfterReadiness) {
  Socket readerClient(connectTo(server_.getPort()));
  CountedRef<InternetConnection> reader = acceptWithin(server_);
  Socket writerClient(connectTo(server_.getPort()));
  CountedRef<InternetConnection> writer = acceptWithin(server_);
  ASSERT_TRUE(reader && writer);
  ASSERT_TRUE(sendText(readerClient, "x"));
  ASSERT_EQ(peekWithin(*reader), 'x');
  ASSERT_EQ(writer->write("hi", 2), 2);

  ServiceOverride logLinger(&Services::setLinger, loggedLinger);
  ServiceOverride logShutdown(&Services::shutdown, loggedShutdown);
  ServiceOverride logClose(&Services::closeSocket, loggedCloseSocket);
  using Calls = std::vector<std::string>;

  closeCalls.clear();
  connection_->close();  // no poll has seen it ready
  EXPECT_EQ(closeCalls, Calls{"closeSocket"});

  closeCalls.clear();
  reader->close();
  EXPECT_EQ(closeCalls, (Calls{"shutdown send", "closeSocket"}));
  EXPECT_EQ(reader->getState(), stateOpen);  // an orderly close is no failure

  closeCalls.clear();
  writer->close();
  EXPECT_EQ(closeCalls, (Calls{"setLinger 2", "shutdown send", "closeSocket"}));
  EXPECT_EQ(receiveUpTo(writerClient.get(), 1000), "hi");  // then the end of the stream

  closeCalls.clear();
  writer->close();
  EXPECT_EQ(closeCalls, Calls{});

  // The socket is gone, so the next poll fails.
  EXPECT_EQ(writer->peekByte(), -1);
  EXPECT_EQ(writer->getState(), statePollFailed);
  EXPECT_FALSE(writer->isConnected());
}

TEST_F(ConnectionTest, CloseDoesNotWaitForAPeerThatKeepsSending) {
  ASSERT_TRUE(sendText(client_, "x"));
  ASSERT_EQ(peekWithin(*connection_), 'x');  // seen ready, so close drains

  // The peer sends for at most twenty seconds; a drain that waited for its end would take that.
  std::atomic<bool> stop{false};
  std::thread peer([&] {
    const std::string piece(1024, 'p');
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!stop && std::chrono::steady_clock::now() < deadline) {
      const platform::PollResult room = real.poll(client_.get(), platform::PollDirection::writable);
      if (room.failed || room.exception)
        break;
      if (!room.ready)
        pause();
      else if (real.send(client_.get(), piece.data(), static_cast<int>(piece.size())) < 0)
        break;
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the flood is under way

  const auto start = std::chrono::steady_clock::now();
  connection_->close();
  const auto took = std::chrono::steady_clock::now() - start;
  stop = true;
  peer.join();
  EXPECT_LT(took, std::chrono::seconds(5));
}

TEST_F(ConnectionTest, AFailedPollEndsTheConnection) {
  Socket secondClient(connectTo(server_.getPort()));
  CountedRef<InternetConnection> second = acceptWithin(server_);
  ASSERT_TRUE(second);
  ASSERT_TRUE(sendText(secondClient, "q"));
  ASSERT_EQ(peekWithin(*second), 'q');
  ASSERT_EQ(second->readByte(), 'q');

  ServiceOverride failPolls(&Services::poll, failingPoll);
  // Never seen ready: isConnected polls once, and that poll ends it.
  EXPECT_FALSE(connection_->isConnected());
  EXPECT_EQ(connection_->getState(), statePollFailed);

  // Seen ready: isConnected only reports, and the next poll, a peek's, finds out.
  EXPECT_TRUE(second->isConnected());
  EXPECT_EQ(second->peekByte(), -1);
  EXPECT_FALSE(second->isConnected());
  EXPECT_EQ(second->getState(), statePollFailed);
  EXPECT_EQ(second->readByte(), -1);
  EXPECT_EQ(second->write("x", 1), 0);
}

TEST_F(ConnectionTest, ASendFailureIsReportedWithEveryByteSentBeforeIt) {
  const std::string thousand(1000, 'k');
  ASSERT_EQ(connection_->write(thousand.data(), 1000), 1000);

  ConsoleCapture console;
  piecesBeforeFailure = 1;
  {
    ServiceOverride sendThenFailing(&Services::send, sendThenFail);
    ServiceOverride errorCode(&Services::lastSocketError, fakeError);
    EXPECT_EQ(connection_->write(thousand.data(), 1000), 200);
  }
  // The socket itself is healthy: writable, no exception.
  EXPECT_EQ(console.text(), "Socket write error: 10054 after 1200 bytes (e=0,w=1)\r\n");
  EXPECT_EQ(connection_->getByteCount(), 1200u);
  EXPECT_EQ(connection_->getState(), stateSocketError);
  EXPECT_FALSE(connection_->isConnected());

  EXPECT_EQ(connection_->write(thousand.data(), 1000), 0);
  EXPECT_EQ(connection_->getByteCount(), 1200u);
  EXPECT_EQ(console.text(), "Socket write error: 10054 after 1200 bytes (e=0,w=1)\r\n");
}

TEST_F(ConnectionTest, ReceiveFailuresAreReportedWithTheSystemCode) {
  const std::string computerName = narrow(getComputerName().text);
  ASSERT_TRUE(sendText(client_, "xy"));
  ConsoleCapture console;
  ServiceOverride failReceives(&Services::receive, failingReceive);
  ServiceOverride errorCode(&Services::lastSocketError, fakeError);

  EXPECT_EQ(peekWithin(*connection_), -1);
  EXPECT_EQ(console.text(), "Socket read error: 10054\r\n");
  EXPECT_EQ(connection_->getState(), stateSocketError);
  EXPECT_FALSE(connection_->isConnected());

  // The bytes are still waiting, so the drain of the close tries to receive them.
  console.text().clear();
  connection_->close();
  EXPECT_EQ(console.text(), computerName + ": Socket close error: 10054\r\n");
  EXPECT_EQ(connection_->getState(), stateSocketError);
}

#ifndef _WIN32
// Thousands of clients means socket numbers far above 1024, which an fd_set cannot hold.
TEST_F(ConnectionTest, SocketsNumberedAbove1024Work) {
  constexpr int high = 2000;
  ASSERT_EQ(fcntl(high, F_GETFD), -1);  // dup2 would silently close a descriptor in use
  Socket listener(real.openStreamSocket(plinth::platform::AddressFamily::ipv4));
  std::uint16_t port = 0;
  ASSERT_TRUE(real.bindAddress(
      listener.get(), plinth::platform::anyAddress(plinth::platform::AddressFamily::ipv4, 0)));
  ASSERT_TRUE(real.listen(listener.get()));
  ASSERT_TRUE(real.localPort(listener.get(), &port));
  Socket client(connectTo(port));
  ASSERT_TRUE(waitFor(listener.get(), platform::PollDirection::readable).ready);
  plinth::platform::SocketAddress peer;
  Socket accepted(real.accept(listener.get(), &peer));
  ASSERT_EQ(dup2(static_cast<int>(accepted.get()), high), high);
  accepted.close();

  CountedRef<InternetConnection> connection(
      new InternetConnection(new InternetConnectionImpl(high, peer)));
  EXPECT_EQ(connection->peekByte(), -1);
  EXPECT_TRUE(connection->isConnected());
  ASSERT_TRUE(sendText(client, "hi"));
  ASSERT_TRUE(real.shutdown(client.get(), ShutdownDirection::send));  // no read can wait for ever
  ASSERT_EQ(peekWithin(*connection), 'h');
  EXPECT_EQ(connection->readByte(), 'h');
  EXPECT_EQ(connection->readByte(), 'i');
  EXPECT_EQ(connection->write("ok", 2), 2);
  EXPECT_EQ(receiveUpTo(client.get(), 2), "ok");
  client.close();
  ASSERT_TRUE(endsWithin(*connection));
  EXPECT_EQ(connection->getState(), stateClosedByPeer);
  connection.release();
  EXPECT_EQ(fcntl(high, F_GETFD), -1);  // released with the connection
}
#endif

}  // namespace
}  // namespace plinth
