// Clients that the stress scenarios set on the receiver, beyond the bench's ClientSockets and
// streamLines. Each runs on a thread of its own until it is stopped, and gives up on a connection
// that takes no more within a few seconds.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "bench/clients.h"
#include "bench/stress_checks.h"

namespace farspeak::bench {

// Ends every connection with a reset (SO_LINGER with a time of 0, then close).
void resetAll(ClientSockets& clients);

// Each client sends a timed line (bench/stress_checks.h) every `interval`, the clients numbered
// from `firstClient`.
class TimedLineClients {
 public:
  TimedLineClients(double interval, double epoch, std::uint32_t firstClient = firstTimedClient)
      : interval_(interval), epoch_(epoch), firstClient_(firstClient) {}
  ~TimedLineClients() { stop(); }
  TimedLineClients(const TimedLineClients&) = delete;
  TimedLineClients& operator=(const TimedLineClients&) = delete;

  // Connects `count` clients to `port` and starts sending; returns how many connected.
  std::size_t start(std::uint16_t port, std::size_t count);
  // Ends the sending; the connections stay open until close().
  void stop();
  void close() { clients_.closeAll(); }
  std::uint64_t sent() const { return sent_; }

 private:
  void sendLines();

  double interval_;
  double epoch_;
  std::uint32_t firstClient_;
  ClientSockets clients_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> sent_{0};
  std::thread thread_;
};

// One client that sends an endless line of HighBytes as fast as the receiver takes it.
class HighByteStreamer {
 public:
  ~HighByteStreamer() { stop(); }
  HighByteStreamer() = default;
  HighByteStreamer(const HighByteStreamer&) = delete;
  HighByteStreamer& operator=(const HighByteStreamer&) = delete;

  // Connects to `port` and starts sending.
  bool start(std::uint16_t port, std::uint64_t byteBudget);
  // Ends the sending and closes the connection.
  void stop();
  std::uint64_t sent() const { return sent_; }
  // Its local port once connected, before the first byte goes; 0 before.
  std::uint16_t port() const { return port_; }

 private:
  void stream(std::uint64_t byteBudget);

  ClientSockets client_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> sent_{0};
  std::atomic<std::uint16_t> port_{0};
  std::thread thread_;
};

}  // namespace farspeak::bench
