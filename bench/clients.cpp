#include "bench/clients.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <unordered_set>

#include "bench/lines.h"
#include "bench/timing.h"

namespace farspeak::bench {
namespace {

constexpr std::size_t largestChunk = 65536;
constexpr double finishLimit = 2.0;  // seconds to finish the chunks under way once time is up

int millisecondsUntil(double deadline) {
  return static_cast<int>(std::ceil(std::max(0.0, deadline - monotonicSeconds()) * 1000.0));
}

bool wouldBlock(int error) {
  return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

struct Stream {
  int socket = -1;
  std::uint32_t client = 0;
  std::vector<char> chunk;
  std::size_t chunkLength = 0;  // whole lines
  std::size_t chunkSent = 0;
  std::uint64_t chunkFirstLine = 0;
  std::uint64_t nextLine = 0;
  bool failed = false;

  bool pending() const { return !failed && chunkSent < chunkLength; }
};

}  // namespace

std::size_t ClientSockets::connect(std::uint16_t port, std::size_t count, double limitSeconds,
                                   const std::function<void(std::size_t client)>& onConnected) {
  const double deadline = monotonicSeconds() + limitSeconds;
  const int poller = epoll_create1(EPOLL_CLOEXEC);
  if (poller < 0)
    return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  std::size_t connected = 0;
  const auto keep = [&](int socket) {
    sockets.push_back(socket);
    ++connected;
    if (onConnected)
      onConnected(sockets.size() - 1);
  };
  std::unordered_set<int> waiting;
  for (std::size_t started = 0; started < count; ++started) {
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (socket < 0)
      break;  // out of descriptors: the clients connected so far are the answer
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      keep(socket);
      continue;
    }
    epoll_event event{};
    event.events = EPOLLOUT;
    event.data.fd = socket;
    if (errno == EINPROGRESS && epoll_ctl(poller, EPOLL_CTL_ADD, socket, &event) == 0)
      waiting.insert(socket);
    else
      close(socket);
  }

  epoll_event events[256];
  while (!waiting.empty() && monotonicSeconds() < deadline) {
    const int ready = epoll_wait(poller, events, 256, millisecondsUntil(deadline));
    for (int index = 0; index < ready; ++index) {
      const int socket = events[index].data.fd;
      epoll_ctl(poller, EPOLL_CTL_DEL, socket, nullptr);
      waiting.erase(socket);
      int error = 0;
      socklen_t length = sizeof error;
      if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0)
        keep(socket);
      else
        close(socket);
    }
  }
  for (const int socket : waiting)
    close(socket);
  close(poller);
  return connected;
}

ConnectFlood::ConnectFlood(std::uint16_t port, const std::string& source, std::size_t underWay)
    : thread_(&ConnectFlood::run, this, port, source, underWay) {}

void ConnectFlood::stop() {
  stopping_ = true;
  if (thread_.joinable())
    thread_.join();
}

void ConnectFlood::run(std::uint16_t port, std::string source, std::size_t underWay) {
  const int poller = epoll_create1(EPOLL_CLOEXEC);
  if (poller < 0)
    return;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  inet_pton(AF_INET, source.c_str(), &from.sin_addr);
  const linger reset{.l_onoff = 1, .l_linger = 0};
  std::unordered_set<int> open;
  const auto connectOne = [&] {
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (socket < 0)
      return false;
    // The port is picked at the connect, by the whole address pair: many more connects at once.
    const int on = 1;
    setsockopt(socket, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    setsockopt(socket, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.fd = socket;
    if (bind(socket, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
        (::connect(socket, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 &&
         errno != EINPROGRESS) ||
        epoll_ctl(poller, EPOLL_CTL_ADD, socket, &event) != 0) {
      close(socket);
      ++failed_;
      return false;
    }
    open.insert(socket);
    return true;
  };
  epoll_event events[256];
  while (!stopping_) {
    while (open.size() < underWay && connectOne()) {
    }
    const int ready = epoll_wait(poller, events, 256, 10);
    for (int index = 0; index < ready; ++index) {
      const int socket = events[index].data.fd;
      int error = 0;
      socklen_t length = sizeof error;
      getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length);
      // A reset after the connect completed, or an end: the receiver took it and let it go.
      if (error == 0 || error == ECONNRESET || error == EPIPE)
        ++ended_;
      else
        ++failed_;
      close(socket);  // which takes it out of the epoll set
      open.erase(socket);
    }
    if (ready <= 0 && open.empty())
      sleepSeconds(0.001);  // no connect could start: no spinning on the failure
  }
  for (const int socket : open)
    close(socket);
  close(poller);
}

void ClientSockets::closeAll() {
  for (const int socket : sockets)
    close(socket);
  sockets.clear();
}

std::uint16_t localPort(int socket) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return 0;
  return ntohs(address.sin_port);
}

bool sendAll(int socket, const char* bytes, std::size_t count, double deadline) {
  while (count > 0) {
    const ssize_t sent = send(socket, bytes, count, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      bytes += sent;
      count -= static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && !wouldBlock(errno))
      return false;
    if (monotonicSeconds() >= deadline)
      return false;
    pollfd room{socket, POLLOUT, 0};
    poll(&room, 1, std::min(millisecondsUntil(deadline), 100));
  }
  return true;
}

StreamResult streamLines(const std::vector<int>& sockets, const StreamPlan& plan) {
  StreamResult result;
  if (sockets.empty())
    return result;
  const std::size_t lineLength = plan.lineLength;
  const std::uint64_t linesPerClient = plan.byteBudget / lineLength / sockets.size();
  std::vector<Stream> streams(sockets.size());
  for (std::size_t index = 0; index < sockets.size(); ++index) {
    streams[index].socket = sockets[index];
    streams[index].client = static_cast<std::uint32_t>(index);
    streams[index].chunk.resize(std::max(largestChunk / lineLength, std::size_t{1}) * lineLength);
  }

  result.started = monotonicSeconds();
  const double stopAt = result.started + plan.seconds;
  const double giveUpAt = stopAt + finishLimit;
  std::vector<pollfd> waitingForRoom;
  for (;;) {
    const double now = monotonicSeconds();
    if (now >= giveUpAt)
      break;
    bool progressed = false;
    for (Stream& stream : streams) {
      if (stream.failed)
        continue;
      if (stream.chunkSent == stream.chunkLength) {
        if (now >= stopAt || stream.nextLine >= linesPerClient)
          continue;
        const std::uint64_t lines = std::min<std::uint64_t>(stream.chunk.size() / lineLength,
                                                            linesPerClient - stream.nextLine);
        stream.chunkFirstLine = stream.nextLine;
        for (std::uint64_t line = 0; line < lines; ++line)
          writeLine(stream.client, stream.nextLine++, lineLength,
                    stream.chunk.data() + line * lineLength);
        stream.chunkLength = static_cast<std::size_t>(lines * lineLength);
        stream.chunkSent = 0;
      }
      const ssize_t sent = send(stream.socket, stream.chunk.data() + stream.chunkSent,
                                stream.chunkLength - stream.chunkSent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent > 0) {
        stream.chunkSent += static_cast<std::size_t>(sent);
        result.bytesSent += static_cast<std::uint64_t>(sent);
        progressed = true;
      } else if (sent < 0 && !wouldBlock(errno)) {
        stream.failed = true;  // the receiver has gone: what it took is what it got
      }
    }
    if (progressed)
      continue;
    waitingForRoom.clear();
    for (const Stream& stream : streams) {
      if (stream.pending())
        waitingForRoom.push_back(pollfd{stream.socket, POLLOUT, 0});
    }
    if (waitingForRoom.empty())
      break;  // every budget spent, or the time is up and every chunk finished
    poll(waitingForRoom.data(), waitingForRoom.size(), 5);
  }
  result.ended = monotonicSeconds();
  for (const Stream& stream : streams)
    result.linesSent += stream.chunkFirstLine + stream.chunkSent / lineLength;
  return result;
}

}  // namespace farspeak::bench
