// A listening TCP socket on one port of every local IPv4 address, or of one address (IPv4 or
// IPv6, or every address of one family), handing out each client that connects as a new
// connection. It never blocks, writes no messages, and reports
// trouble only by ceasing to run.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "plinth/core/counted_ref.h"
#include "plinth/net/internet_connection.h"
#include "plinth/platform/platform.h"
#include "plinth/strings/plinth_string.h"

namespace plinth {

// What stopped a server, and the system's error code for it.
enum class ServerFailure {
  none,
  socketLibrary,  // the socket library did not start
  socket,         // no listening socket could be made
  bind,           // the address or port was refused
  listen,
  poll,       // a readiness poll of the listening socket failed
  exception,  // the listening socket reported an exception condition
};

struct InternetServerImpl;  // in internet_server.cpp

class InternetServer : public Refcountable {
 public:
  // Opens the listening socket at once, on every local IPv4 address and `port` (its low 16 bits),
  // or on `address` and its port. A failure leaves the server stopped.
  explicit InternetServer(std::int32_t port);
  explicit InternetServer(const platform::SocketAddress& address);
  virtual ~InternetServer();
  InternetServer(const InternetServer&) = delete;
  InternetServer& operator=(const InternetServer&) = delete;

  // True while the listening socket works; once false, never true again.
  bool isRunning() const;
  // Once it is not running: the step that failed, and the system's code for it (0 if none).
  ServerFailure failure() const;
  int failureError() const;
  // True when a client is waiting; accepts it ahead and holds it for acceptConnection. A look
  // refuses a few clients at most (see setAdmission), and says none is waiting after them; then
  // `moreMayWait` tells that others may.
  bool hasPendingConnection();
  bool moreMayWait() const;
  // The held client, or one accepted now, or an empty reference.
  CountedRef<InternetConnection> acceptConnection();
  // The address listened on when it is one; otherwise the host's addresses of its family that
  // other machines can reach it at, joined by ", ", or the loopback address when it has no other.
  const char16_t* getHostAddress() const;
  // The port given, or once listening the port actually bound (the system's choice for port 0).
  std::uint16_t getPort() const;

  // Whether the last attempt to accept a waiting client failed (at the descriptor limit, say), and
  // the system's code for it. The client stays queued and the server running.
  bool acceptFailed() const;
  int acceptError() const;
  // Closes the listening socket: no more clients connect. The server stops running, without a
  // failure. A loop that watches it unwatches it first.
  void close();
  // Decides, from the address a client connected from, whether it is taken, before a connection
  // is made of it. A client it refuses is reset at once (linger 0): nothing is read from it or
  // written to it. Without one, every client is taken.
  using Admission = std::function<bool(const platform::SocketAddress& peer)>;
  void setAdmission(Admission admission);
  // What a loop watches to learn that a client is waiting; invalidSocket once closed.
  platform::SocketHandle handle() const;

 private:
  void open();
  CountedRef<InternetConnection> tryAccept();

  InternetServerImpl* impl_;
};

}  // namespace plinth
