// The receiver: listens on TCP port 52525 (or as the options say), accepts every client, and copies
// each client's lines to standard output until the listening socket fails or the process is asked
// to stop.
#pragma once

#include <list>
#include <memory>
#include <vector>

#include "plinth/event/event_loop.h"
#include "plinth/net/internet_server.h"
#include "receiver/clients.h"
#include "receiver/command_line.h"
#include "receiver/listener.h"
#include "receiver/memory_budget.h"
#include "receiver/output_buffer.h"
#include "receiver/refusal_reports.h"

namespace farspeak {

enum class LoopEnd { stopRequested, listenerFailed, waitFailed, outputFailed };

// The loop and its handlers: a listener for each listening server, the clients, and the stop
// request; standard output, which the loop writes before it waits; the memory budget; and who may
// connect, with the reports of those refused. While
// clients have work, rounds follow each other, each with a zero-time look at the sockets; with
// none, the loop waits for the sockets, at most until the earliest held piece is due.
// A stop request takes the clients waiting in the queue and closes the listeners; the clients are
// then read as usual until they have nothing more to give, for three seconds at most, and after
// that each only for what had arrived at the request.
class Receiver {
 public:
  Receiver(const std::vector<plinth::InternetServer*>& servers, const OutputFormat& format,
           const AccessRules& rules = {});
  ~Receiver();
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // Serves clients until a stop is requested, a server stops, the wait for the sockets fails, or
  // standard output fails. At the end, what the clients still hold is written, unless standard
  // output has failed.
  LoopEnd run();

 private:
  class Stop;
  void beforeWait();

  // In this order: what refers to the loop goes before it.
  plinth::EventLoop loop_;
  OutputFormat format_;
  AccessRules rules_;
  OutputBuffer output_;
  RefusalReports refusals_;
  MemoryBudget budget_;
  Clients clients_;
  std::list<Listener> listeners_;
  std::unique_ptr<Stop> stop_;
};

// A Receiver on these servers, run.
LoopEnd serveClients(const std::vector<plinth::InternetServer*>& servers,
                     const OutputFormat& format = {}, const AccessRules& rules = {});

// Runs the whole receiver with these options: starts the server, says on the console that it did
// or why not, and serves clients until it stops. True when it stopped on request.
bool runReceiver(const Options& options);

}  // namespace farspeak
