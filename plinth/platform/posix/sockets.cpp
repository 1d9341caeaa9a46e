#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "plinth/platform/bsd_addresses.h"
#include "plinth/platform/native.h"

namespace plinth::platform::native {
namespace {

// A handle that cannot be a descriptor (invalidSocket among them) becomes -1, which every call
// refuses with EBADF, as Winsock refuses a handle that is not a socket.
int descriptorOf(SocketHandle socket) {
  return socket > static_cast<SocketHandle>(INT_MAX) ? -1 : static_cast<int>(socket);
}

SocketHandle handleOf(int descriptor) {
  return descriptor < 0 ? invalidSocket : static_cast<SocketHandle>(descriptor);
}

// Close-on-exec, so that a child process never holds a client's connection open; and, when asked,
// never blocking.
int prepared(int descriptor, bool nonBlocking) {
  if (descriptor >= 0) {
    fcntl(descriptor, F_SETFD, FD_CLOEXEC);
    if (nonBlocking)
      fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) | O_NONBLOCK);
  }
  return descriptor;
}

}  // namespace

int startSockets() {
  // Every client holds a descriptor, and the usual soft limit of 1024 would turn clients away
  // long before the system runs short. Best effort: sockets work either way.
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  return 0;
}

int lastSocketError() {
  return errno;
}

std::string socketErrorText(int code) {
  return std::strerror(code);
}

SocketErrorKind socketErrorKind(int code) {
  switch (code) {
    case EADDRINUSE:
      return SocketErrorKind::addressInUse;
    case EMFILE:
    case ENFILE:
      return SocketErrorKind::descriptorLimit;
    case EAGAIN:
      return SocketErrorKind::wouldBlock;
    default:
      return SocketErrorKind::other;
  }
}

std::uint64_t descriptorLimit() {
  rlimit limit{};
  return getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
             ? static_cast<std::uint64_t>(limit.rlim_cur)
             : 0;
}

SocketHandle openStreamSocket(AddressFamily family) {
  return handleOf(prepared(
      ::socket(family == AddressFamily::ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0), false));
}

bool bindAddress(SocketHandle socket, const SocketAddress& address) {
  const int descriptor = descriptorOf(socket);
  // Windows lets a restarted program bind a port whose old connections sit in TIME_WAIT; Linux
  // does only with SO_REUSEADDR. A port with a live listener is refused either way.
  const int on = 1;
  setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  // IPv6 only, as on Windows, so that :: and 0.0.0.0 can be listened on side by side.
  if (address.family == AddressFamily::ipv6)
    setsockopt(descriptor, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  sockaddr_storage system;
  const int length = systemAddress(address, system);
  return ::bind(descriptor, reinterpret_cast<const sockaddr*>(&system),
                static_cast<socklen_t>(length)) == 0;
}

bool listen(SocketHandle socket) {
  // The largest backlog there is; the kernel cuts it to its own limit (somaxconn).
  return ::listen(descriptorOf(socket), 0x7FFFFFFF) == 0;
}

bool localPort(SocketHandle socket, std::uint16_t* port) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getsockname(descriptorOf(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return false;
  }
  *port = libraryAddress(reinterpret_cast<const sockaddr*>(&address)).port;
  return true;
}

PollResult poll(SocketHandle socket, PollDirection direction) {
  const int descriptor = descriptorOf(socket);
  if (descriptor < 0) {
    errno = EBADF;  // poll(2) would skip a negative descriptor and report nothing ready
    return {.failed = true};
  }
  const bool reading = direction == PollDirection::readable;
  // poll(2), not select: an fd_set cannot hold a descriptor numbered 1024 or more.
  pollfd entry{};
  entry.fd = descriptor;
  entry.events = static_cast<short>((reading ? POLLIN : POLLOUT) | POLLPRI);
  int result = 0;
  do {
    result = ::poll(&entry, 1, 0);
  } while (result < 0 && errno == EINTR);
  if (result < 0)
    return {.failed = true};
  if ((entry.revents & POLLNVAL) != 0) {
    errno = EBADF;
    return {.failed = true};
  }
  // Winsock's select puts a socket that has ended, been reset or failed in the read and write
  // sets, and the receive or send that follows reports what happened; only urgent data puts a
  // connected socket in the exception set.
  const short readyEvents = reading ? POLLIN | POLLHUP | POLLERR : POLLOUT | POLLHUP | POLLERR;
  return {.exception = (entry.revents & POLLPRI) != 0, .ready = (entry.revents & readyEvents) != 0};
}

SocketHandle accept(SocketHandle listener, SocketAddress* peer) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  int accepted = -1;
  do {
    accepted = ::accept(descriptorOf(listener), reinterpret_cast<sockaddr*>(&address), &length);
  } while (accepted < 0 && errno == EINTR);
  if (prepared(accepted, true) < 0)
    return invalidSocket;
  // Urgent data arrives in the stream, in order, as an ordinary byte.
  const int on = 1;
  setsockopt(accepted, SOL_SOCKET, SO_OOBINLINE, &on, sizeof on);
  *peer = libraryAddress(reinterpret_cast<const sockaddr*>(&address));
  return handleOf(accepted);
}

int receive(SocketHandle socket, void* buffer, int count) {
  ssize_t received = 0;
  do {
    received = recv(descriptorOf(socket), buffer, static_cast<std::size_t>(count), 0);
  } while (received < 0 && errno == EINTR);
  return static_cast<int>(received);
}

std::size_t bytesWaiting(SocketHandle socket) {
  int waiting = 0;
  return ioctl(descriptorOf(socket), FIONREAD, &waiting) == 0 && waiting > 0
             ? static_cast<std::size_t>(waiting)
             : 0;
}

int send(SocketHandle socket, const void* bytes, int count) {
  ssize_t sent = 0;
  do {
    // A peer that has gone must give an error code, not a SIGPIPE that ends the process.
    sent = ::send(descriptorOf(socket), bytes, static_cast<std::size_t>(count), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return static_cast<int>(sent);
}

bool shutdown(SocketHandle socket, ShutdownDirection direction) {
  const int how = direction == ShutdownDirection::receive ? SHUT_RD : SHUT_WR;
  return ::shutdown(descriptorOf(socket), how) == 0;
}

bool setLinger(SocketHandle socket, std::uint16_t seconds) {
  const linger option{.l_onoff = 1, .l_linger = seconds};
  return setsockopt(descriptorOf(socket), SOL_SOCKET, SO_LINGER, &option, sizeof option) == 0;
}

bool closeSocket(SocketHandle socket) {
  // Never retried: Linux releases the descriptor even when close reports EINTR, and a second
  // close could hit a number that has been handed out again meanwhile.
  return close(descriptorOf(socket)) == 0;
}

std::string addressText(const SocketAddress& address) {
  return addressTextOf(address);
}

bool numericAddress(const char* text, SocketAddress* address) {
  const std::vector<SocketAddress> found = addressesOf(text, AI_NUMERICHOST, nullptr);
  if (found.empty())
    return false;
  *address = found.front();
  return true;
}

std::vector<SocketAddress> resolveName(const char* name, std::string* failure) {
  return addressesOf(name, AI_ADDRCONFIG, failure);
}

}  // namespace plinth::platform::native
