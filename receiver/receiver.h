// The receiver: listens on TCP port 52525 (or as the options say), accepts every client, and copies
// each client's lines to standard output until the listening socket fails or the process is asked
// to stop.
#pragma once

#include <list>
#include <optional>

#include "plinth/net/internet_server.h"
#include "receiver/command_line.h"
#include "receiver/line_assembler.h"
#include "receiver/memory_budget.h"
#include "receiver/output_buffer.h"

namespace farspeak {

using ClientList = std::list<ClientRecord>;

// What one pass over the clients found.
struct PassResult {
  // A byte received, or a client gone: the next pass may have work at once.
  bool worked = false;
  // The earliest time when part of a line that some client holds is due.
  std::optional<double> nextPieceDue;
};

// Gives every client, oldest first, its turn at time `now` (seconds, the clock's high-resolution
// mode), and removes every client whose connection has ended, reporting each in list order; the
// clients after a removed one still have their turn. The budget learns what each holds.
PassResult pollClients(ClientList& clients, OutputBuffer& output, MemoryBudget& budget,
                       double now);

enum class LoopEnd { stopRequested, listenerFailed, waitFailed, outputFailed };

// The main loop on a listening server, until a stop is requested, the server stops, the wait for
// the sockets fails, or standard output fails. A pass that found work is followed by the next at
// once; one that found none waits for the sockets, at most until the earliest held piece is due.
// A stop request closes the listener, and the clients are then read until they have nothing more
// to give (for a few seconds at most). At the end, what the clients still hold is written, unless
// standard output has failed.
LoopEnd serveClients(plinth::InternetServer& server, ClientList& clients,
                     const OutputFormat& format = {});

class Receiver {
 public:
  // Runs the whole receiver; returns when the server has stopped, a stop was requested, or
  // standard output failed. Says on the console why the server did not start or stopped.
  explicit Receiver(const Options& options = {});
  // Releases the clients still listed.
  ~Receiver() = default;

  // Stopped on request, not by a failure.
  bool succeeded() const { return succeeded_; }

  ClientList clients;

 private:
  bool succeeded_ = false;
};

}  // namespace farspeak
