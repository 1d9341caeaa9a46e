#include "receiver/receiver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_connection.h"
#include "receiver_fixture.h"

namespace farspeak {
namespace {

using Log = std::vector<std::string>;

class ReceiverPassTest : public ReceiverFixture {
 protected:
  FakeConnection* add(std::u16string address) {
    auto* connection = new FakeConnection(std::move(address));
    clients.push_back(ClientRecord(plinth::CountedRef<plinth::NetworkConnection>(connection)));
    return connection;
  }

  PassResult pass() {
    const PassResult result = pollClients(clients, output);
    output.writeHeld();
    return result;
  }

  OutputBuffer output;
  ClientList clients;
};

TEST_F(ReceiverPassTest, EveryEndedClientIsRemovedInOnePassAndTheRestAreServed) {
  FakeConnection* first = add(u"10.0.0.1");
  FakeConnection* second = add(u"10.0.0.2");
  FakeConnection* third = add(u"10.0.0.3");
  FakeConnection* fourth = add(u"10.0.0.4");
  first->arrive("line\n");
  pass();
  first->arrive("last");  // held, since the line was just written: written before the report
  pass();
  log.clear();
  first->end(plinth::stateClosedByPeer);
  second->arrive("hi\n");
  third->end(plinth::stateSocketError);
  fourth->end(plinth::stateClosedByPeer);

  const PassResult result = pollClients(clients, output);
  // In list order, each client's output before the next report.
  EXPECT_EQ(log, (Log{"last", "err:Connection from 10.0.0.1 closed\r\n", "hi\n",
                      "err:Connection from 10.0.0.3 lost\r\n",
                      "err:Connection from 10.0.0.4 closed\r\n"}));
  EXPECT_EQ(clients.size(), 1u);
  EXPECT_TRUE(result.worked);
}

TEST_F(ReceiverPassTest, ClientsAreServedOldestFirstOneLineEach) {
  FakeConnection* older = add(u"10.0.0.1");
  FakeConnection* newer = add(u"10.0.0.2");
  older->arrive("o1\no2\n");
  newer->arrive("n1\n");
  pass();
  pass();
  EXPECT_EQ(log, (Log{"o1\nn1\n", "o2\n"}));  // one write per pass: the lines gathered
}

// The loop waits until the earliest held piece is due, and no longer.
TEST_F(ReceiverPassTest, APassTellsWhenTheEarliestHeldPieceIsDue) {
  FakeConnection* early = add(u"10.0.0.1");
  FakeConnection* late = add(u"10.0.0.2");
  add(u"10.0.0.3");           // silent
  early->arrive("a line\n");  // a flush time: the half second counts from it
  PassResult result = pass();
  EXPECT_TRUE(result.worked);
  EXPECT_FALSE(result.nextPieceDue);
  const double earlyWrite = clients.front().lastFlushTime;

  advance(100);
  late->arrive("a line\n");
  pass();
  const double lateWrite = std::next(clients.begin())->lastFlushTime;
  ASSERT_GT(lateWrite, earlyWrite);

  late->arrive("half");
  early->arrive("half");
  result = pass();
  ASSERT_TRUE(result.nextPieceDue);
  EXPECT_EQ(*result.nextPieceDue, earlyWrite + pieceInterval);

  early->arrive(" done\n");
  result = pass();
  ASSERT_TRUE(result.nextPieceDue);
  EXPECT_EQ(*result.nextPieceDue, lateWrite + pieceInterval);

  result = pass();
  EXPECT_FALSE(result.worked);  // nothing came: the loop may wait
}

TEST_F(ReceiverPassTest, ListCopiesShareTheConnection) {
  auto* connection = new FakeConnection;
  {
    ClientRecord local{plinth::CountedRef<plinth::NetworkConnection>(connection)};
    local.buffer.append('x');
    clients.push_back(local);
    EXPECT_EQ(connection->refCount, 2);
    EXPECT_EQ(clients.back().buffer.capacity(), 1u);  // an exact copy of the bytes
  }
  EXPECT_EQ(connection->refCount, 1);
}

}  // namespace
}  // namespace farspeak
