// Clients of the receiver under test: connections to 127.0.0.1 on the receiver's port, and the
// self-checking lines they send.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
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

// Clients from a loopback address of their own connecting to a port as fast as they can, a number
// of connects under way at a time, on a thread of their own until stopped: each waits until the
// receiver ends its connection (a reset, or an end) and is then closed with a reset, which leaves
// no port waiting out TIME_WAIT, and another takes its place.
class ConnectFlood {
 public:
  ConnectFlood(std::uint16_t port, const std::string& source, std::size_t underWay);
  ~ConnectFlood() { stop(); }
  ConnectFlood(const ConnectFlood&) = delete;
  ConnectFlood& operator=(const ConnectFlood&) = delete;

  void stop();
  // Connections the receiver has ended so far, and connects that failed.
  std::uint64_t ended() const { return ended_; }
  std::uint64_t failed() const { return failed_; }

 private:
  void run(std::uint16_t port, std::string source, std::size_t underWay);

  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> ended_{0};
  std::atomic<std::uint64_t> failed_{0};
  std::thread thread_;
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
