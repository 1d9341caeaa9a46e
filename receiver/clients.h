// The clients of the loop, each the handler of its socket: a turn when its socket has something to
// say, when it asked for another turn (a line it received still waits), or when its piece falls
// due. A round costs what its clients with work cost, however many others are connected.
#pragma once

#include <cstddef>
#include <list>
#include <vector>

#include "plinth/event/event_loop.h"
#include "receiver/line_assembler.h"
#include "receiver/memory_budget.h"
#include "receiver/output_buffer.h"
#include "receiver/receive_block.h"

namespace farspeak {

class Clients;

class ClientHandler final : public plinth::Watcher, public plinth::Timer {
 public:
  ClientHandler(Clients& clients, const plinth::CountedRef<plinth::NetworkConnection>& connection,
                unsigned number);
  ~ClientHandler();
  ClientHandler(const ClientHandler&) = delete;
  ClientHandler& operator=(const ClientHandler&) = delete;

  void onReadable() override;
  // Its piece is due: a turn in the next round.
  void onTimer() override;
  // The memory budget holds off reading from it, or resumes.
  void setReading(bool reading);

  ClientRecord record;
  ReceiveBlock received;  // what its connection received and its turns have not taken

 private:
  friend class Clients;
  Clients& clients_;
  std::list<ClientHandler>::iterator self_;
};

class Clients {
 public:
  Clients(plinth::EventLoop& loop, OutputBuffer& output, MemoryBudget& budget)
      : loop_(loop), output_(output), budget_(budget) {}
  Clients(const Clients&) = delete;
  Clients& operator=(const Clients&) = delete;

  // A new client, watched from now on; `number` counts the clients accepted before it.
  ClientHandler& add(const plinth::CountedRef<plinth::NetworkConnection>& connection,
                     unsigned number);
  // One turn of `client` at `now` (seconds, the loop's clock): up to one line; an ended client is
  // reported and leaves the loop, and is let go at the end of the round.
  void serve(ClientHandler& client, double now);
  // The end of a round: the clients that went are let go.
  void releaseEnded();

  // At a stop request: each client is owed what has arrived from it so far.
  void noteOwed();
  // At the end (seconds, as for serve): what every client holds, what it received and has not yet
  // handed over, and with `readOwed` the rest of what it is owed, is written by the usual rules and
  // its line ended; nothing more is read. Returns how many clients, with `readOwed`, still had
  // bytes waiting in the system.
  std::size_t finish(double now, bool readOwed);

  const std::list<ClientHandler>& list() const { return clients_; }
  // The clients connected: those that have ended are not counted, though not yet let go.
  std::size_t count() const { return clients_.size() - ended_.size(); }

 private:
  friend class ClientHandler;
  plinth::EventLoop& loop_;
  OutputBuffer& output_;
  MemoryBudget& budget_;
  std::list<ClientHandler> clients_;
  std::vector<std::list<ClientHandler>::iterator> ended_;
};

}  // namespace farspeak
