#include "receiver/receiver.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>

#include "plinth/core/clock.h"
#include "plinth/net/sockets.h"
#include "plinth/platform/platform.h"
#include "plinth/text/text_writer.h"

namespace farspeak {
namespace {

// While clients have work, the loop looks at the sockets at least this often (seconds), so that
// a flood never hides the listener or the other clients; looking every pass would double the
// system calls per line.
constexpr double lookInterval = 0.0001;
// After a stop request, the clients are read as usual for at most this many seconds (wall clock);
// after that, each only for what had arrived when the stop was requested.
constexpr double stopWindow = 3.0;
// At a stop, the clients already waiting in the listeners' queues are accepted for at most this
// many seconds, so that a flood of connects cannot hold the stop.
constexpr double longestQueueTake = 1.0;
// A listener whose waiting client cannot be accepted (no descriptor left) stays ready; the loop
// leaves it out of its wait this long, so as not to spin on it.
constexpr double acceptRest = 0.1;
// With -p 0 and several listeners, the times a free port is picked before the start fails.
constexpr int freePortAttempts = 5;

// Milliseconds from `now` until `when`, rounded up, and one more: a piece is due only once more
// than half a second has passed, and the clock counts in whole milliseconds.
std::int32_t millisecondsUntil(double when, double now) {
  return static_cast<std::int32_t>(std::max(0.0, std::ceil((when - now) * 1000.0)) + 1);
}

// The loop's side of accepting, when the wait found the listener ready. After a failed accept the
// listener rests, out of the wait, since the client it could not take keeps it ready; at the
// descriptor limit, the user is told once that clients wait, and once when they are accepted again.
class Acceptor {
 public:
  Acceptor(plinth::InternetServer& server, Clients& clients, const OutputFormat& format)
      : server_(server), clients_(clients), format_(format) {}

  // True when a client came.
  bool accept(double now, bool listenerReady) {
    if (resting_ && now >= restingUntil_) {
      server_.watchForClients(true);
      resting_ = false;
    }
    if (!listenerReady || resting_)
      return false;
    const bool accepted = acceptWaitingClients();
    if (server_.acceptFailed()) {
      sayClientsWait();
      server_.watchForClients(false);
      resting_ = true;
      restingUntil_ = now + acceptRest;
    } else if (accepted && clientsWait_) {
      plinth::console().writeText("Accepting clients again\n");
      clientsWait_ = false;
    }
    return accepted;
  }

  // At a stop: the clients waiting in the queue connected before it, and are taken, until none is
  // left, an accept fails (no descriptor left) or the clock reads `until`.
  void takeQueue(double until) { acceptWaitingClients(until); }

  // Milliseconds the loop's wait may last for the rest to end; -1 when not resting.
  std::int32_t waitLimit(double now) const {
    return resting_ ? millisecondsUntil(restingUntil_, now) : -1;
  }

 private:
  // Accepts every pending client, reports it and appends its record. True when any came.
  bool acceptWaitingClients(double until = HUGE_VAL) {
    bool accepted = false;
    while (plinth::getSeconds(true) < until && server_.hasPendingConnection()) {
      ClientRecord& client = clients_.add(server_.acceptConnection(), acceptedBefore_++);
      reportClient(client, "Incoming connection from ", "\n", format_);
      accepted = true;
    }
    return accepted;
  }

  void sayClientsWait() {
    const plinth::platform::Services& services = plinth::platform::services;
    if (clientsWait_ || services.socketErrorKind(server_.acceptError()) !=
                            plinth::platform::SocketErrorKind::descriptorLimit) {
      return;
    }
    clientsWait_ = true;
    plinth::TextWriter& console = plinth::console().writeText("Clients are waiting: ");
    if (const std::uint64_t limit = services.descriptorLimit()) {
      console.writeText("every one of the ")
          .writeUInt64(limit)
          .writeText(" descriptors this process may open is in use");
    } else {
      console.writeText("the system has no socket left for them");
    }
    console.writeText("; they are accepted as others leave\n");
  }

  plinth::InternetServer& server_;
  Clients& clients_;
  const OutputFormat& format_;
  bool resting_ = false;
  double restingUntil_ = 0.0;
  bool clientsWait_ = false;     // said so, and not yet that they are accepted again
  unsigned acceptedBefore_ = 0;  // picks each client's colour
};

// The loop's clock. A busy loop reuses a reading for a few passes (tens of microseconds at most,
// far inside every rule it serves): reading it every pass cost 19% more CPU per MiB from one
// client. It reads afresh after a wait or an output write, which may have held the loop up.
class PassClock {
 public:
  double read(bool waited, std::uint64_t outputWrites, std::size_t lastTurns) {
    turns_ += lastTurns;
    if (waited || outputWrites != outputWrites_ || ++passes_ >= mostPasses || turns_ >= mostTurns) {
      now_ = plinth::getSeconds(true);
      outputWrites_ = outputWrites;
      passes_ = 0;
      turns_ = 0;
    }
    return now_;
  }

 private:
  static constexpr int mostPasses = 8;
  static constexpr std::size_t mostTurns = 64;

  double now_ = 0.0;
  std::uint64_t outputWrites_ = ~std::uint64_t{0};
  int passes_ = 0;
  std::size_t turns_ = 0;
};

// What the user reads after "Couldn't start the server".
// `port`: as asked for, 0 for a free one. `address`: the one listened on, as text, or empty for
// every IPv4 address.
void sayWhyTheServerDidNotStart(const plinth::InternetServer& server, std::uint16_t port,
                                const std::string& address) {
  const plinth::platform::Services& services = plinth::platform::services;
  const int error = server.failureError();
  plinth::TextWriter& console = plinth::console();
  const auto where = [&] {
    if (port == 0)
      console.writeText("a free port");
    else
      console.writeText("port ").writeInt(port);
    if (!address.empty())
      console.writeText(" on ").writeText(address.c_str());
  };
  switch (server.failure()) {
    case plinth::ServerFailure::socketLibrary:
      console.writeText("The socket library did not start\n");
      return;
    case plinth::ServerFailure::socket:
      console.writeText("No socket could be made");
      break;
    case plinth::ServerFailure::bind:
      if (services.socketErrorKind(error) == plinth::platform::SocketErrorKind::addressInUse) {
        where();
        console.writeText(" is already in use");
      } else {
        console.writeText("Could not bind to ");
        where();
      }
      break;
    default:
      console.writeText("Could not listen on ");
      where();
      break;
  }
  console.writeText(" (").writeText(services.socketErrorText(error).c_str()).writeText(")\n");
}

// " (error 10054: the system's text)"
plinth::TextWriter& writeSocketError(int error) {
  return plinth::console()
      .writeText(" (error ")
      .writeInt(error)
      .writeText(": ")
      .writeText(plinth::platform::services.socketErrorText(error).c_str())
      .writeText(")");
}

// The system could not say which sockets are ready: the loop cannot go on.
void sayTheWaitFailed() {
  plinth::console().writeText("Waiting for the sockets failed");
  writeSocketError(plinth::platform::services.lastSocketError()).writeText("; stopping\n");
}

// The listening socket failed while the loop ran: no more clients can come.
void sayTheListenerFailed(const plinth::InternetServer& server) {
  if (server.failure() == plinth::ServerFailure::exception) {
    plinth::console().writeText(
        "The listening socket reported an exception condition; no client can connect any more, "
        "stopping\n");
    return;
  }
  plinth::console().writeText("The listening socket failed");
  writeSocketError(server.failureError()).writeText("; no client can connect any more, stopping\n");
}

}  // namespace

ClientRecord& Clients::add(const plinth::CountedRef<plinth::NetworkConnection>& connection,
                           unsigned number) {
  ClientRecord& client = clients_.emplace_back(connection, output_.format(), number);
  client.self = std::prev(clients_.end());
  connection->watch(reinterpret_cast<std::uintptr_t>(&client));
  if (output_.format().json)
    output_.writeEvent(client, "connect");
  return client;
}

void Clients::found(ClientRecord& client, bool exception) {
  client.connection->readyFound(exception);
  addWork(client);
}

void Clients::addWork(ClientRecord& client) {
  if (!client.hasWork) {
    client.hasWork = true;
    work_.push_back(&client);
  }
}

Clients::Served Clients::serve(double now) {
  for (ClientRecord* first = due_.first(); first != nullptr && now > first->due;
       first = due_.first()) {
    due_.remove(*first);
    addWork(*first);
  }
  serving_.swap(work_);
  Served served{.turns = serving_.size()};
  Pass pass{output_, now};
  for (ClientRecord* client : serving_) {
    client->hasWork = false;
    budget_.beforeTurn(*client);
    if (!pollClient(*client, pass)) {
      remove(*client);
      served.worked = true;
      continue;
    }
    const std::size_t received = client->connection->receivedMemory();
    budget_.afterTurn(*client, received);
    if (client->dueQueued || !client->buffer.empty())
      due_.update(*client, pieceDue(*client));
    if (received > 0)
      addWork(*client);  // a line still waits for its turn
  }
  serving_.clear();
  served.worked = served.worked || pass.anyByteReceived;
  return served;
}

void Clients::remove(ClientRecord& client) {
  budget_.remove(client);
  due_.remove(client);
  clients_.erase(client.self);
}

std::optional<double> Clients::nextPieceDue() const {
  if (const ClientRecord* first = due_.first())
    return first->due;
  return std::nullopt;
}

void Clients::noteOwed() {
  for (ClientRecord& client : clients_)
    client.owedThrough = client.connection->getReceivedCount() + client.connection->bytesWaiting();
}

std::size_t Clients::writeAll(double now, bool readOwed) {
  Pass pass{output_, now};
  std::size_t stillSending = 0;
  for (auto next = clients_.begin(); next != clients_.end();) {
    ClientRecord& client = *next++;
    plinth::NetworkConnection& connection = *client.connection;
    // What was received, and what is owed, by the usual rules, a client at a time: memory stays
    // within a block and a piece.
    const std::uint64_t received = connection.getReceivedCount();
    connection.holdOffReceiving(false);
    connection.limitReceives(
        readOwed && client.owedThrough > received ? client.owedThrough - received : 0);
    bool kept = true;
    do {
      pass.anyByteReceived = false;
      kept = pollClient(client, pass);
    } while (kept && pass.anyByteReceived);
    if (!kept) {
      remove(client);
      continue;
    }
    handOverHeld(client, output_);
    if (readOwed && connection.bytesWaiting() > 0)
      ++stillSending;
  }
  output_.endOpenLine();
  return stillSending;
}

LoopEnd serveClients(const std::vector<plinth::InternetServer*>& servers,
                     const OutputFormat& format) {
  const plinth::platform::Services& services = plinth::platform::services;
  OutputBuffer output(format);
  MemoryBudget budget;
  Clients clients(output, budget);
  // A listener's key is its place among the servers; a client's, its record's address.
  std::vector<Acceptor> acceptors;
  std::vector<bool> listenerReady(servers.size());
  for (std::size_t listener = 0; listener < servers.size(); ++listener) {
    acceptors.emplace_back(*servers[listener], clients, format);
    servers[listener]->watch(listener);
  }
  std::vector<plinth::platform::ReadySocket> ready;
  // What a wait or a look found: the listeners and clients it names have work.
  const auto take = [&] {
    for (const plinth::platform::ReadySocket& socket : ready) {
      if (socket.key < servers.size())
        listenerReady[socket.key] = true;
      else
        clients.found(*reinterpret_cast<ClientRecord*>(socket.key), socket.exception);
    }
  };
  const auto failedServer = [&]() -> const plinth::InternetServer* {
    for (const plinth::InternetServer* server : servers) {
      if (!server->isRunning())
        return server;
    }
    return nullptr;
  };
  PassClock clock;
  std::size_t lastTurns = 0;
  double lastLook = 0.0;
  bool waited = false;  // the pass follows a wait, which was a look
  bool waitFailed = false;
  std::optional<double> stoppingSince;  // once a stop is requested
  while (!output.failed()) {
    if (!stoppingSince) {
      if (failedServer() != nullptr)
        break;
      if (services.stopRequested()) {
        // The clients waiting in the queue came before the stop; then no more come, and each
        // client is owed what had arrived by now.
        const double until = plinth::getSeconds(true) + longestQueueTake;
        for (Acceptor& acceptor : acceptors)
          acceptor.takeQueue(until);
        for (plinth::InternetServer* server : servers)
          server->close();
        clients.noteOwed();
        stoppingSince = plinth::getSeconds(true);
      }
    }
    const double now = clock.read(waited, output.writeCalls(), lastTurns);
    output.passBegins(now);
    if (waited || now - lastLook >= lookInterval) {
      if (!waited) {
        waitFailed = !services.waitForReadiness(0, ready);
        take();
      }
      lastLook = now;
    }
    waited = false;
    if (waitFailed)
      break;

    bool accepted = false;
    for (std::size_t listener = 0; listener < servers.size(); ++listener) {
      accepted =
          (!stoppingSince && acceptors[listener].accept(now, listenerReady[listener])) || accepted;
      listenerReady[listener] = false;
    }
    const Clients::Served served = clients.serve(now);
    lastTurns = served.turns;
    budget.resumeWhenRoom();
    if (stoppingSince && now - *stoppingSince > stopWindow)
      break;
    if (accepted || clients.haveWork())
      continue;
    if (stoppingSince && !budget.readingHeldOff()) {
      // Done once a fresh look finds no client with more to give.
      if (!served.worked) {
        waitFailed = !services.waitForReadiness(0, ready);
        take();
        if (waitFailed || !clients.haveWork())
          break;
      }
      continue;
    }

    output.writeHeld();
    if (output.failed())
      break;
    budget.giveBack();
    const double waitStart = plinth::getSeconds(true);
    std::int32_t limit = -1;
    const auto atMost = [&limit](std::int32_t milliseconds) {
      if (milliseconds >= 0)
        limit = limit < 0 ? milliseconds : std::min(limit, milliseconds);
    };
    for (const Acceptor& acceptor : acceptors)
      atMost(acceptor.waitLimit(waitStart));
    if (const std::optional<double> due = clients.nextPieceDue())
      atMost(millisecondsUntil(*due, waitStart));
    waitFailed = !services.waitForReadiness(limit, ready);
    if (waitFailed)
      break;
    take();
    waited = true;
  }
  // What the clients delivered, and at a stop what they are owed, still reaches standard output,
  // their lines ended; the result is known only once it has.
  if (!output.failed()) {
    const std::size_t stillSending =
        clients.writeAll(plinth::getSeconds(true), stoppingSince.has_value());
    output.writeHeld();
    if (stillSending > 0) {
      plinth::console()
          .writeUInt64(stillSending)
          .writeText(stillSending == 1 ? " client was" : " clients were")
          .writeText(
              " still sending when Farspeak stopped; what they sent after the stop request was "
              "not written\n");
    }
  }
  if (output.failed())
    return LoopEnd::outputFailed;
  if (waitFailed) {
    sayTheWaitFailed();
    return LoopEnd::waitFailed;
  }
  if (stoppingSince)
    return LoopEnd::stopRequested;
  sayTheListenerFailed(*failedServer());
  return LoopEnd::listenerFailed;
}

bool runReceiver(const Options& options) {
  using plinth::platform::SocketAddress;
  const plinth::platform::Services& services = plinth::platform::services;
  // Every IPv4 address, or each address the options name, and each one a name stands for.
  std::vector<SocketAddress> addresses;
  if (options.listenAddresses.empty())
    addresses.push_back(plinth::platform::anyAddress(plinth::platform::AddressFamily::ipv4, 0));
  for (const std::string& text : options.listenAddresses) {
    SocketAddress numeric;
    std::string failure;
    const std::vector<SocketAddress> found =
        plinth::startSockets() && services.numericAddress(text.c_str(), &numeric)
            ? std::vector<SocketAddress>{numeric}
            : services.resolveName(text.c_str(), &failure);
    if (found.empty()) {
      plinth::console()
          .writeText("Couldn't start the server\n")
          .writeText(text.c_str())
          .writeText(" names no address to listen on (")
          .writeText(failure.c_str())
          .writeText(")\n");
      return false;
    }
    for (const SocketAddress& address : found) {
      if (std::find(addresses.begin(), addresses.end(), address) == addresses.end())
        addresses.push_back(address);
    }
  }
  // With port 0, the first listener takes a free port and the others the same one, which may be
  // taken on their address: then all start again on another.
  std::vector<std::unique_ptr<plinth::InternetServer>> servers;
  for (int attempt = 1;; ++attempt) {
    servers.clear();
    std::uint16_t port = options.port;
    for (SocketAddress address : addresses) {
      address.port = port;
      servers.push_back(std::make_unique<plinth::InternetServer>(address));
      if (!servers.back()->isRunning())
        break;
      port = servers.back()->getPort();
    }
    const plinth::InternetServer& last = *servers.back();
    const bool pickAgain = options.port == 0 && servers.size() > 1 && attempt < freePortAttempts &&
                           last.failure() == plinth::ServerFailure::bind &&
                           services.socketErrorKind(last.failureError()) ==
                               plinth::platform::SocketErrorKind::addressInUse;
    if (!pickAgain)
      break;
  }
  if (!servers.back()->isRunning()) {
    plinth::console().writeText("Couldn't start the server\n");
    sayWhyTheServerDidNotStart(
        *servers.back(), options.port,
        options.listenAddresses.empty() ? "" : services.addressText(addresses[servers.size() - 1]));
    return false;
  }
  plinth::console()
      .writeText("Farspeak started on port ")
      .writeInt(servers.front()->getPort())
      .writeText("!\n");
  plinth::console().writeText("hostname=").writeWideText(plinth::getHostName()).writeText("\n");
  plinth::TextWriter& banner = plinth::console().writeText("host address=");
  for (std::size_t server = 0; server < servers.size(); ++server)
    banner.writeText(server > 0 ? " " : "").writeWideText(servers[server]->getHostAddress());
  banner.writeText("\n");
  // Colours are for a person at a terminal, who has not asked for none (no-color.org); the
  // clients' own, asked for by name, whatever the output and NO_COLOR (a record escapes them).
  const char* noColour = std::getenv("NO_COLOR");
  const bool prefixes = !options.json;
  const OutputFormat format{.tags = prefixes && options.tag,
                            .timestamps = prefixes && options.timestamps,
                            .colour = prefixes && options.tag &&
                                      (noColour == nullptr || *noColour == '\0') &&
                                      services.standardOutputTakesColour(),
                            .json = options.json,
                            .ansi = prefixes && options.ansi};
  std::vector<plinth::InternetServer*> listening;
  for (const auto& server : servers)
    listening.push_back(server.get());
  return serveClients(listening, format) == LoopEnd::stopRequested;
}

}  // namespace farspeak
