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
  bool anyByteReceived = false;
};

TEST_F(ReceiverPassTest, AtMostOneEndedClientIsRemovedPerPass) {
  FakeConnection* first = add(u"10.0.0.1");
  FakeConnection* second = add(u"10.0.0.2");
  FakeConnection* third = add(u"10.0.0.3");
  first->end(plinth::stateClosedByPeer);
  second->end(plinth::stateSocketError);
  third->arrive("hi\n");

  pollClients(clients, anyByteReceived);
  EXPECT_EQ(clients.size(), 2u);
  EXPECT_EQ(log, Log{"err:Connection from 10.0.0.1 closed\r\n"});
  EXPECT_EQ(third->peeks, 0);  // the pass ended at the removal

  pollClients(clients, anyByteReceived);
  EXPECT_EQ(clients.size(), 1u);
  EXPECT_EQ(log.back(), "err:Connection from 10.0.0.2 lost\r\n");
  EXPECT_FALSE(anyByteReceived);

  pollClients(clients, anyByteReceived);
  EXPECT_EQ(log.back(), "hi\n");
  EXPECT_TRUE(anyByteReceived);
}

TEST_F(ReceiverPassTest, ClientsAreServedOldestFirstOneLineEach) {
  FakeConnection* older = add(u"10.0.0.1");
  FakeConnection* newer = add(u"10.0.0.2");
  older->arrive("o1\no2\n");
  newer->arrive("n1\n");
  pollClients(clients, anyByteReceived);
  pollClients(clients, anyByteReceived);
  EXPECT_EQ(log, (Log{"o1\n", "n1\n", "o2\n"}));
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
