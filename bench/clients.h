// Clients of the receiver under test: connections to 127.0.0.1 on the receiver's port, and the
// self-checking lines they send.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace farspeak::bench {

// Non-blocking client sockets, closed with the object.
class ClientSockets {
 public:
  ClientSockets() = default;
  ~ClientSockets() { closeAll(); }
  ClientSockets(const ClientSockets&) = delete;
  ClientSockets& operator=(const ClientSockets&) = delete;

  // Starts `count` more connections to `port` at once and waits at most `limitSeconds` for them;
  // those not connected by then are given up. `onConnected` gets each new client's index in
  // `sockets` as soon as it connects. Returns how many connected.
  std::size_t connect(std::uint16_t port, std::size_t count, double limitSeconds,
                      const std::function<void(std::size_t client)>& onConnected = {});
  void closeAll();

  std::vector<int> sockets;
};

// The local port of a connected socket, which the receiver names the client by; 0 when unknown.
std::uint16_t localPort(int socket);

// Sends all of `bytes` on a non-blocking socket, waiting for room at most until `deadline` (on
// the bench's clock).
bool sendAll(int socket, const char* bytes, std::size_t count, double deadline);

struct StreamPlan {
  std::size_t lineLength = 100;
  std::uint64_t byteBudget = 0;  // for all clients together, split evenly among them
  double seconds = 0.0;          // sending stops after this, at the end of a line
};

struct StreamResult {
  std::uint64_t linesSent = 0;
  std::uint64_t bytesSent = 0;
  double started = 0.0;  // bench clock
  double ended = 0.0;
};

// Each client sends its lines 0, 1, 2... in chunks, the clients in turn, as fast as its socket
// takes them, until the budget is spent or the time is up.
StreamResult streamLines(const std::vector<int>& sockets, const StreamPlan& plan);

}  // namespace farspeak::bench
