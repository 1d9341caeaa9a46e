// The receiver: listens on TCP port 52525 (or as the options say), accepts every client, and copies
// each client's lines to standard output until the listening socket fails or the process is asked
// to stop.
#pragma once

#include <cstdint>
#include <list>
#include <optional>
#include <vector>

#include "plinth/net/internet_server.h"
#include "receiver/command_line.h"
#include "receiver/due_order.h"
#include "receiver/line_assembler.h"
#include "receiver/memory_budget.h"
#include "receiver/output_buffer.h"

namespace farspeak {

using ClientList = std::list<ClientRecord>;

// The loop's clients: every accepted one; those with work for the next pass (found ready by the
// wait, still holding received lines, or with a piece due); and those holding part of a line, in
// the order their pieces fall due. A pass costs what its clients with work cost, however many
// others are connected.
class Clients {
 public:
  Clients(OutputBuffer& output, MemoryBudget& budget) : output_(output), budget_(budget) {}
  Clients(const Clients&) = delete;
  Clients& operator=(const Clients&) = delete;

  // A new client, whose connection joins the wait under its record's address; `number` counts the
  // clients accepted before it.
  ClientRecord& add(const plinth::CountedRef<plinth::NetworkConnection>& connection,
                    unsigned number);
  // The wait found this client's socket ready.
  void found(ClientRecord& client, bool exception);

  // What a pass did: how many turns it gave, and whether a byte came or a client went.
  struct Served {
    std::size_t turns = 0;
    bool worked = false;
  };
  // One pass at `now` (seconds, the clock's high-resolution mode): every client with work, and
  // every client whose piece has fallen due, gets one turn (up to one line), in the order it came
  // to have work; each ended one is reported and removed.
  Served serve(double now);
  bool haveWork() const { return !work_.empty(); }
  // When the earliest piece a client holds falls due.
  std::optional<double> nextPieceDue() const;
  // At a stop request: each client is owed what has arrived from it so far.
  void noteOwed();
  // At the end (seconds, as for serve): what every client holds, what it received and has not yet
  // handed over, and with `readOwed` the rest of what it is owed, is written by the usual rules and
  // its line ended; nothing more is read. Returns how many clients, with `readOwed`, still had
  // bytes waiting in the system.
  std::size_t writeAll(double now, bool readOwed);

  const ClientList& list() const { return clients_; }

 private:
  void addWork(ClientRecord& client);
  void remove(ClientRecord& client);

  OutputBuffer& output_;
  MemoryBudget& budget_;
  ClientList clients_;
  std::vector<ClientRecord*> work_;
  std::vector<ClientRecord*> serving_;
  DueOrder due_;
};

enum class LoopEnd { stopRequested, listenerFailed, waitFailed, outputFailed };

// The main loop on listening servers, until a stop is requested, a server stops, the wait for
// the sockets fails, or standard output fails. While clients have work, passes follow each other,
// with a zero-time look at the sockets at least every 100 µs; with none, the loop waits for the
// sockets, at most until the earliest held piece is due. A stop request takes the clients waiting
// in the queue and closes the listeners; the clients are then read as usual until they have nothing
// more to give, for three seconds at most, and after that each only for what had arrived at the
// request. At the end, what the clients still hold is written, unless standard output has failed.
LoopEnd serveClients(const std::vector<plinth::InternetServer*>& servers,
                     const OutputFormat& format = {});

// Runs the whole receiver with these options: starts the server, says on the console that it did
// or why not, and serves clients until it stops. True when it stopped on request.
bool runReceiver(const Options& options);

}  // namespace farspeak
