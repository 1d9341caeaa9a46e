// The receiver: listens on TCP port 52525, accepts every client, and copies each client's lines to
// standard output until the listening socket fails or the process is asked to stop.
#pragma once

#include <cstdint>
#include <list>

#include "plinth/net/internet_server.h"
#include "receiver/line_assembler.h"

namespace farspeak {

inline constexpr std::int32_t receiverPort = 52525;

using ClientList = std::list<ClientRecord>;

// Accepts every pending client, reports it and appends its record.
void acceptClients(plinth::InternetServer& server, ClientList& clients);

// What one pass over the clients found.
struct PassResult {
  bool anyByteReceived = false;
  // Some client may hold part of a line that only the clock will write, so the loop must come
  // back for it even if no socket speaks. A pass that ends at a removal has not looked at every
  // client, and says so.
  bool bytesHeld = false;
};

// Gives every client, oldest first, its turn, and removes the first client whose connection has
// ended; the clients after a removed one wait for the next pass.
PassResult pollClients(ClientList& clients);

class Receiver {
 public:
  // Runs the whole receiver; returns when the server has stopped or a stop was requested.
  Receiver();
  // Releases the clients still listed.
  ~Receiver() = default;

  ClientList clients;

 private:
  void run(plinth::InternetServer& server);
};

}  // namespace farspeak
