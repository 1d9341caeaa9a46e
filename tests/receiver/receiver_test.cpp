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

  ClientList clients;
};

TEST_F(ReceiverPassTest, AtMostOneEndedClientIsRemovedPerPass) {
  FakeConnection* first = add(u"10.0.0.1");
  FakeConnection* second = add(u"10.0.0.2");
  FakeConnection* third = add(u"10.0.0.3");
  first->end(plinth::stateClosedByPeer);
  second->end(plinth::stateSocketError);
  third->arrive("hi\n");

  PassResult pass = pollClients(clients);
  EXPECT_EQ(clients.size(), 2u);
  EXPECT_EQ(log, Log{"err:Connection from 10.0.0.1 closed\r\n"});
  EXPECT_EQ(third->peeks, 0);   // the pass ended at the removal
  EXPECT_TRUE(pass.bytesHeld);  // it cannot know: it has not looked at the third client

  pass = pollClients(clients);
  EXPECT_EQ(clients.size(), 1u);
  EXPECT_EQ(log.back(), "err:Connection from 10.0.0.2 lost\r\n");
  EXPECT_FALSE(pass.anyByteReceived);

  pass = pollClients(clients);
  EXPECT_EQ(log.back(), "hi\n");
  EXPECT_TRUE(pass.anyByteReceived);
  EXPECT_FALSE(pass.bytesHeld);
}

TEST_F(ReceiverPassTest, ClientsAreServedOldestFirstOneLineEach) {
  FakeConnection* older = add(u"10.0.0.1");
  FakeConnection* newer = add(u"10.0.0.2");
  older->arrive("o1\no2\n");
  newer->arrive("n1\n");
  pollClients(clients);
  pollClients(clients);
  EXPECT_EQ(log, (Log{"o1\n", "n1\n", "o2\n"}));
}

// The loop pauses longer when no client holds part of a line that the clock must write.
TEST_F(ReceiverPassTest, APassTellsWhetherAnyClientHoldsPartOfALine) {
  FakeConnection* whole = add(u"10.0.0.1");
  FakeConnection* partial = add(u"10.0.0.2");
  add(u"10.0.0.3");  // silent
  whole->arrive("all of it\n");
  partial->arrive("a line\n");  // and so a flush time: the half second counts from it
  EXPECT_FALSE(pollClients(clients).bytesHeld);

  partial->arrive("half a li");
  EXPECT_TRUE(pollClients(clients).bytesHeld);
  partial->arrive("ne\n");
  EXPECT_FALSE(pollClients(clients).bytesHeld);
  EXPECT_EQ(log.back(), "half a line\n");
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
