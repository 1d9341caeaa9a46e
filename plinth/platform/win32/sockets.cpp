#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <optional>
#include <string>

#include "plinth/platform/bsd_addresses.h"
#include "plinth/platform/native.h"

namespace plinth::platform::native {
namespace {

SOCKET nativeOf(SocketHandle socket) {
  return static_cast<SOCKET>(socket);
}

// SOMAXCONN_HINT, which MinGW's headers lack: a backlog asked for as a count, not a cap.
constexpr int backlogHint(int backlog) {
  return -backlog;
}

}  // namespace

int startSockets() {
  WSADATA details;
  return WSAStartup(0x0202, &details);
}

int lastSocketError() {
  return WSAGetLastError();
}

std::string socketErrorText(int code) {
  char text[256] = {};
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
  std::string result(text, length);
  while (!result.empty() &&
         (result.back() == '\n' || result.back() == '\r' || result.back() == '.'))
    result.pop_back();  // the system's sentence ends in a full stop and a line end
  return result.empty() ? "error " + std::to_string(code) : result;
}

SocketErrorKind socketErrorKind(int code) {
  switch (code) {
    case WSAEADDRINUSE:
      return SocketErrorKind::addressInUse;
    case WSAEMFILE:
    case WSAENOBUFS:
      return SocketErrorKind::descriptorLimit;
    case WSAEWOULDBLOCK:
      return SocketErrorKind::wouldBlock;
    default:
      return SocketErrorKind::other;
  }
}

std::uint64_t descriptorLimit() {
  return 0;  // Windows sets no count of sockets a process may hold
}

SocketHandle openStreamSocket(AddressFamily family) {
  // Not inherited, so that a child process never holds a client's connection open.
  const SOCKET opened = WSASocketW(family == AddressFamily::ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM,
                                   0, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  return opened == INVALID_SOCKET ? invalidSocket : static_cast<SocketHandle>(opened);
}

bool bindAddress(SocketHandle socket, const SocketAddress& address) {
  // IPv6 only, which is Windows' default, said anyway.
  if (address.family == AddressFamily::ipv6) {
    const DWORD on = 1;
    setsockopt(nativeOf(socket), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on),
               sizeof on);
  }
  sockaddr_storage system;
  const int length = systemAddress(address, system);
  return ::bind(nativeOf(socket), reinterpret_cast<const sockaddr*>(&system), length) == 0;
}

bool listen(SocketHandle socket) {
  // The plain largest backlog (SOMAXCONN) gives about 200 on some Windows; the hint asks for
  // the most the system allows.
  if (::listen(nativeOf(socket), backlogHint(65535)) != 0 &&
      ::listen(nativeOf(socket), SOMAXCONN) != 0) {
    return false;
  }
  return true;
}

bool localPort(SocketHandle socket, std::uint16_t* port) {
  sockaddr_storage address{};
  int length = sizeof address;
  if (getsockname(nativeOf(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return false;
  }
  *port = libraryAddress(reinterpret_cast<const sockaddr*>(&address)).port;
  return true;
}

PollResult poll(SocketHandle socket, PollDirection direction) {
  const bool reading = direction == PollDirection::readable;
  fd_set asked;
  fd_set exceptional;
  FD_ZERO(&asked);
  FD_ZERO(&exceptional);
  FD_SET(nativeOf(socket), &asked);
  FD_SET(nativeOf(socket), &exceptional);
  timeval noWait{0, 0};
  const int result =
      select(0, reading ? &asked : nullptr, reading ? nullptr : &asked, &exceptional, &noWait);
  if (result == SOCKET_ERROR)
    return {.failed = true};
  // select empties the sets when nothing is ready, so a zero result reads as "neither".
  return {.exception = FD_ISSET(nativeOf(socket), &exceptional) != 0,
          .ready = FD_ISSET(nativeOf(socket), &asked) != 0};
}

SocketHandle accept(SocketHandle listener, SocketAddress* peer) {
  sockaddr_storage address{};
  int length = sizeof address;
  const SOCKET accepted =
      ::accept(nativeOf(listener), reinterpret_cast<sockaddr*>(&address), &length);
  if (accepted == INVALID_SOCKET)
    return invalidSocket;
  SetHandleInformation(reinterpret_cast<HANDLE>(accepted), HANDLE_FLAG_INHERIT, 0);
  u_long nonBlocking = 1;
  ioctlsocket(accepted, FIONBIO, &nonBlocking);
  // Urgent data arrives in the stream, in order, as an ordinary byte.
  const BOOL inline_ = TRUE;
  setsockopt(accepted, SOL_SOCKET, SO_OOBINLINE, reinterpret_cast<const char*>(&inline_),
             sizeof inline_);
  *peer = libraryAddress(reinterpret_cast<const sockaddr*>(&address));
  return static_cast<SocketHandle>(accepted);
}

int receive(SocketHandle socket, void* buffer, int count) {
  return recv(nativeOf(socket), static_cast<char*>(buffer), count, 0);
}

std::size_t bytesWaiting(SocketHandle socket) {
  u_long waiting = 0;
  return ioctlsocket(nativeOf(socket), FIONREAD, &waiting) == 0 ? waiting : 0;
}

int send(SocketHandle socket, const void* bytes, int count) {
  return ::send(nativeOf(socket), static_cast<const char*>(bytes), count, 0);
}

bool shutdown(SocketHandle socket, ShutdownDirection direction) {
  const int how = direction == ShutdownDirection::receive ? SD_RECEIVE : SD_SEND;
  return ::shutdown(nativeOf(socket), how) == 0;
}

bool setLinger(SocketHandle socket, std::uint16_t seconds) {
  const linger option{.l_onoff = 1, .l_linger = seconds};
  return setsockopt(nativeOf(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option),
                    sizeof option) == 0;
}

bool closeSocket(SocketHandle socket) {
  return closesocket(nativeOf(socket)) == 0;
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
