#include "bench/stress_clients.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>
#include <vector>

#include "bench/stress_checks.h"
#include "bench/stress_session.h"
#include "bench/timing.h"

namespace farspeak::bench {
namespace {

constexpr double connectLimit = 10.0;
constexpr double sendLimit = 5.0;  // seconds a connection may take no byte before it is given up
constexpr std::size_t streamChunk = 65536;

}  // namespace

void resetAll(ClientSockets& clients) {
  const linger abort{.l_onoff = 1, .l_linger = 0};
  for (const int socket : clients.sockets)
    setsockopt(socket, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  clients.closeAll();
}

std::size_t TimedLineClients::start(std::uint16_t port, std::size_t count) {
  const std::size_t connected = clients_.connect(port, count, connectLimit);
  thread_ = std::thread(&TimedLineClients::sendLines, this);
  return connected;
}

void TimedLineClients::stop() {
  stopping_ = true;
  if (thread_.joinable())
    thread_.join();
}

void TimedLineClients::sendLines() {
  for (double next = monotonicSeconds(); !stopping_; next += interval_) {
    sleepUntil(next);
    for (std::size_t index = 0; index < clients_.sockets.size(); ++index) {
      const auto client = static_cast<std::uint32_t>(firstClient_ + index);
      const std::string line = stressLineText(client, microsecondsSince(epoch_));
      if (sendAll(clients_.sockets[index], line.data(), line.size(),
                  monotonicSeconds() + sendLimit)) {
        ++sent_;
      }
    }
  }
}

bool HighByteStreamer::start(std::uint16_t port, std::uint64_t byteBudget) {
  if (client_.connect(port, 1, connectLimit) != 1)
    return false;
  port_ = localPort(client_.sockets[0]);
  thread_ = std::thread(&HighByteStreamer::stream, this, byteBudget);
  return true;
}

void HighByteStreamer::stop() {
  stopping_ = true;
  if (thread_.joinable())
    thread_.join();
  client_.closeAll();
}

void HighByteStreamer::stream(std::uint64_t byteBudget) {
  HighBytes bytes;
  std::vector<unsigned char> chunk(streamChunk);
  std::size_t chunkSent = chunk.size();
  double lastProgress = monotonicSeconds();
  while (!stopping_ && sent_ < byteBudget && monotonicSeconds() - lastProgress < sendLimit) {
    if (chunkSent == chunk.size()) {
      bytes.fill(chunk.data(), chunk.size());
      chunkSent = 0;
    }
    const ssize_t sent = send(client_.sockets[0], chunk.data() + chunkSent,
                              chunk.size() - chunkSent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      chunkSent += static_cast<std::size_t>(sent);
      sent_ += static_cast<std::uint64_t>(sent);
      lastProgress = monotonicSeconds();
    } else if (sent < 0 && errno != EAGAIN && errno != EINTR) {
      return;
    } else {
      pollfd room{client_.sockets[0], POLLOUT, 0};
      poll(&room, 1, 10);
    }
  }
}

}  // namespace farspeak::bench
