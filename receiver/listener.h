// A listening server as a handler of the loop: when its socket says clients wait, every waiting
// client is judged by its address, and accepted, reported and added, or refused and reported as
// such. A client it cannot accept (no descriptor left) keeps the socket ready, so the listener
// then rests out of the wait for a while. With as many clients as --max-clients allows, the
// listener is out of the wait until one leaves. Either way the user is told once that clients
// wait, and once when they are accepted again. A failed listener stops the loop.
#pragma once

#include "plinth/event/event_loop.h"
#include "plinth/net/internet_server.h"
#include "receiver/access_rules.h"
#include "receiver/clients.h"
#include "receiver/refusal_reports.h"

namespace farspeak {

class Listener final : public plinth::Watcher, public plinth::Timer {
 public:
  Listener(plinth::EventLoop& loop, plinth::InternetServer& server, Clients& clients,
           const OutputFormat& format, const AccessRules& rules, RefusalReports& refusals);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  void onReadable() override;
  void onTimer() override;  // the rest is over
  // At the end of a round: back in the wait when it waited for a client to leave, and one has.
  void resumeWhenRoom();
  // At a stop: the clients waiting in the queue connected before it, and are taken until none is
  // left, an accept fails (no descriptor left) or the clock reads `until`. Then no more come.
  void takeQueueAndClose(double until);
  const plinth::InternetServer& server() const { return server_; }

 private:
  // Accepts every pending client until `until`, or until `most` clients are connected, reports it
  // and adds it. True when any came.
  bool acceptWaitingClients(double until, std::size_t most);
  // What the loop's clients may number.
  std::size_t mostClients() const;
  // Said once while clients wait: at the descriptor limit, or at the most --max-clients allows.
  void sayClientsWait(bool atMostClients);

  plinth::EventLoop& loop_;
  plinth::InternetServer& server_;
  Clients& clients_;
  const OutputFormat& format_;
  const AccessRules& rules_;
  RefusalReports& refusals_;
  bool clientsWait_ = false;     // said so, and not yet that they are accepted again
  bool waitingForRoom_ = false;  // out of the wait until a client leaves
  unsigned acceptedBefore_ = 0;  // picks each client's colour
};

}  // namespace farspeak
