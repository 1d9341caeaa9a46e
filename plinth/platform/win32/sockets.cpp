#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <optional>

#include "plinth/platform/native.h"
#include "plinth/platform/readiness_table.h"
#include "plinth/platform/win32/readiness.h"

namespace plinth::platform::native {
namespace {

SOCKET nativeOf(SocketHandle socket) {
  return static_cast<SOCKET>(socket);
}

sockaddr_in ipv4Address(u_long address, std::uint16_t port) {
  sockaddr_in record{};
  record.sin_family = AF_INET;
  record.sin_port = htons(port);
  record.sin_addr.s_addr = htonl(address);
  return record;
}

}  // namespace

int startSockets() {
  WSADATA details;
  return WSAStartup(0x0202, &details);
}

int lastSocketError() {
  return WSAGetLastError();
}

SocketHandle openStreamSocket() {
  const SOCKET opened = ::socket(AF_INET, SOCK_STREAM, 0);
  return opened == INVALID_SOCKET ? invalidSocket : static_cast<SocketHandle>(opened);
}

bool bindAddress(SocketHandle socket, const char* address, std::uint16_t port) {
  sockaddr_in record = ipv4Address(INADDR_ANY, port);
  if (address != nullptr && *address != '\0' &&
      inet_pton(AF_INET, address, &record.sin_addr) != 1) {
    WSASetLastError(WSAEINVAL);
    return false;
  }
  return ::bind(nativeOf(socket), reinterpret_cast<const sockaddr*>(&record), sizeof record) == 0;
}

bool listen(SocketHandle socket) {
  if (::listen(nativeOf(socket), 0x7FFFFFFF) != 0)
    return false;
  readiness::add(socket);
  return true;
}

bool localPort(SocketHandle socket, std::uint16_t* port) {
  sockaddr_in address{};
  int length = sizeof address;
  if (getsockname(nativeOf(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return false;
  }
  *port = ntohs(address.sin_port);
  return true;
}

PollResult poll(SocketHandle socket, PollDirection direction) {
  const bool reading = direction == PollDirection::readable;
  if (reading) {
    if (const std::optional<PollResult> answer = platform::readiness::table.answer(socket))
      return *answer;
  }
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

SocketHandle accept(SocketHandle listener, AddressText* peer) {
  sockaddr_in address{};
  int length = sizeof address;
  readiness::received(listener);
  const SOCKET accepted =
      ::accept(nativeOf(listener), reinterpret_cast<sockaddr*>(&address), &length);
  if (accepted == INVALID_SOCKET)
    return invalidSocket;
  readiness::add(static_cast<SocketHandle>(accepted));
  std::snprintf(peer->text, sizeof peer->text, "%s", inet_ntoa(address.sin_addr));
  peer->port = ntohs(address.sin_port);
  return static_cast<SocketHandle>(accepted);
}

int receive(SocketHandle socket, void* buffer, int count) {
  readiness::received(socket);
  return recv(nativeOf(socket), static_cast<char*>(buffer), count, 0);
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
  readiness::remove(socket);
  return closesocket(nativeOf(socket)) == 0;
}

bool connectLoopback(SocketHandle socket, std::uint16_t port) {
  const sockaddr_in address = ipv4Address(INADDR_LOOPBACK, port);
  return connect(nativeOf(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
         0;
}

}  // namespace plinth::platform::native
