#include "receiver/receiver.h"

#include "plinth/core/clock.h"
#include "plinth/core/spin_lock.h"
#include "plinth/net/sockets.h"
#include "plinth/platform/platform.h"
#include "plinth/text/text_writer.h"

namespace farspeak {
namespace {

constexpr double idleAfter = 0.5;  // seconds without a byte before each pass pauses
// An idle pass pauses at least 1 ms and, while no socket has anything to say, up to 10 ms: walking
// thousands of silent clients a thousand times a second would cost more than all else.
constexpr std::uint32_t idlePause = 1;
constexpr std::uint32_t longestIdlePause = 10;
// With no piece of a line held for the clock to write, only a socket can bring work, and any
// socket ends the pause: the bound only limits how late a stop signal that just missed the wait
// is seen.
constexpr std::uint32_t longestQuietPause = 100;

}  // namespace

void acceptClients(plinth::InternetServer& server, ClientList& clients) {
  while (server.hasPendingConnection()) {
    const plinth::CountedRef<plinth::NetworkConnection> connection = server.acceptConnection();
    plinth::console()
        .writeText("Incoming connection from ")
        .writeWideText(connection->getAddress())
        .writeText("\n");
    clients.push_back(ClientRecord(connection));
  }
}

PassResult pollClients(ClientList& clients) {
  PassResult pass;
  for (auto record = clients.begin(); record != clients.end(); ++record) {
    if (!pollClient(*record, pass.anyByteReceived)) {
      clients.erase(record);
      pass.bytesHeld = true;
      return pass;
    }
    pass.bytesHeld = pass.bytesHeld || !record->buffer.empty();
  }
  return pass;
}

Receiver::Receiver() {
  plinth::InternetServer server(receiverPort);
  if (!server.isRunning()) {
    plinth::console().writeText("Couldn't start the server\n");
    return;
  }
  plinth::console().writeText("Farspeak started on port ").writeInt(receiverPort).writeText("!\n");
  plinth::console().writeText("hostname=").writeWideText(plinth::getHostName()).writeText("\n");
  plinth::console()
      .writeText("host address=")
      .writeWideText(server.getHostAddress())
      .writeText("\n");
  run(server);
}

void Receiver::run(plinth::InternetServer& server) {
  double lastActivityTime = 0.0;
  while (server.isRunning() && !plinth::platform::services.stopRequested()) {
    acceptClients(server, clients);
    const PassResult pass = pollClients(clients);
    const double now = plinth::getSeconds(false);
    if (pass.anyByteReceived) {
      lastActivityTime = now;
    } else if (now - lastActivityTime > idleAfter) {
      plinth::platform::services.waitForActivity(
          idlePause, pass.bytesHeld ? longestIdlePause : longestQuietPause);
    }
  }
  // Asked to stop: what the clients delivered still reaches standard output.
  for (ClientRecord& record : clients)
    flushClient(record);
}

}  // namespace farspeak
