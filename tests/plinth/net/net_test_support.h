// What the networking tests share: raw client sockets on loopback, bounded waits, and the console
// output a test caused.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "plinth/net/internet_server.h"
#include "plinth/net/network_connection.h"
#include "plinth/platform/platform.h"
#include "plinth/text/debug_dest.h"
#include "tests/support/socket.h"

namespace plinth::nettest {

inline const platform::Services& real = platform::realServices();

// Loopback answers within milliseconds, but the test machine is shared and may stall.
inline constexpr auto patience = std::chrono::seconds(10);

inline void pause() {
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

using test_support::Socket;

// Sends all of `text`, or fails.
inline bool sendText(const Socket& socket, const std::string& text) {
  return real.send(socket.get(), text.data(), static_cast<int>(text.size())) ==
         static_cast<int>(text.size());
}

// A client connected to a port on this machine; an invalid socket when the connect fails.
inline platform::SocketHandle connectTo(std::uint16_t port) {
  platform::SocketHandle client = real.openStreamSocket(plinth::platform::AddressFamily::ipv4);
  if (client != platform::invalidSocket &&
      !test_support::connectTo(
          client, plinth::platform::loopbackAddress(plinth::platform::AddressFamily::ipv4, port))) {
    real.closeSocket(client);
    client = platform::invalidSocket;
  }
  return client;
}

// Polls until the socket shows something, or gives up after `patience`.
inline platform::PollResult waitFor(platform::SocketHandle socket,
                                    platform::PollDirection direction) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  platform::PollResult result = real.poll(socket, direction);
  while (!result.failed && !result.exception && !result.ready &&
         std::chrono::steady_clock::now() < deadline) {
    pause();
    result = real.poll(socket, direction);
  }
  return result;
}

// The next client the server accepts, or an empty reference when none arrives within `patience`.
inline CountedRef<InternetConnection> acceptWithin(InternetServer& server) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (!server.hasPendingConnection() && server.isRunning() &&
         std::chrono::steady_clock::now() < deadline) {
    pause();
  }
  return server.acceptConnection();
}

// What arrives on a raw socket until `expected` bytes, the end of the stream or `patience`.
inline std::string receiveUpTo(platform::SocketHandle socket, std::size_t expected) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  std::string received;
  char piece[4096];
  while (received.size() < expected && std::chrono::steady_clock::now() < deadline) {
    if (!waitFor(socket, platform::PollDirection::readable).ready)
      break;
    const int got = real.receive(socket, piece, sizeof piece);
    if (got <= 0)
      break;
    received.append(piece, static_cast<std::size_t>(got));
  }
  return received;
}

// Peeks until a byte is held or the connection ends, for at most `patience`: -1 when none came.
inline int peekWithin(NetworkConnection& connection) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  int byte = connection.peekByte();
  while (byte == -1 && connection.isConnected() && std::chrono::steady_clock::now() < deadline) {
    pause();
    byte = connection.peekByte();
  }
  return byte;
}

// Peeks until the connection has ended, for at most `patience`; false when it did not end.
inline bool endsWithin(NetworkConnection& connection) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (connection.isConnected() && std::chrono::steady_clock::now() < deadline) {
    if (connection.peekByte() != -1)
      connection.readByte();
    else
      pause();
  }
  return !connection.isConnected();
}

// Collects what the console writes to standard error while it lives; one message arrives in
// several writes.
class ConsoleCapture {
 public:
  ConsoleCapture() {
    startConsole();
    text().clear();
  }

  static std::string& text() {
    static std::string written;
    return written;
  }

 private:
  static bool record(const void* bytes, std::size_t count) {
    text().append(static_cast<const char*>(bytes), count);
    return true;
  }

  platform::ServiceOverride<bool (*)(const void*, std::size_t)> standardError_{
      &platform::Services::writeStandardError, record};
};

// Library text as 8-bit text; anything outside ASCII becomes '?', which no test expects.
inline std::string narrow(const char16_t* text) {
  std::string result;
  for (; text != nullptr && *text != 0; ++text)
    result += *text < 0x80 ? static_cast<char>(*text) : '?';
  return result;
}

}  // namespace plinth::nettest
