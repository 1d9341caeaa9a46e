// The state of an InternetConnection, kept out of its public header: the connection's code, and
// tests that build a connection on a socket of their own, include it.
#pragma once

#include <cstdint>

#include "plinth/net/internet_connection.h"
#include "plinth/platform/platform.h"
#include "plinth/strings/plinth_string.h"

namespace plinth {

struct InternetConnectionImpl {
  InternetConnectionImpl(platform::SocketHandle accepted, const platform::SocketAddress& peer);

  bool pollReadable();
  bool pollWritable();
  // One receive of what the system has, up to `count` bytes, without waiting.
  NetworkConnection::Read receiveNow(void* buffer, std::int32_t count);
  // Waits, 1 ms at a time, until `count` bytes are stored or the connection ends.
  std::int32_t receiveBytes(void* buffer, std::int32_t count);
  std::int32_t sendBytes(const void* data, std::int32_t count);
  void close();
  // Ends the connection: set together with its state, which never returns to open.
  void end(ConnectionState how);

  platform::SocketHandle socket;
  bool closed = false;     // ended: set together with a state of 1, 3 or 4
  bool seenReady = false;  // some poll has found the socket readable or writable
  bool hasWritten = false;
  ConnectionState state = stateOpen;
  int pushbackByte = -1;  // the byte peekByte holds back, or -1
  std::uint64_t bytesSent = 0;
  plinth_string address;
  std::uint16_t port;

 private:
  bool poll(platform::PollDirection direction);
};

}  // namespace plinth
