// A listening server as a handler of the loop: when its socket says clients wait, every waiting
// client is accepted, reported and added. A client it cannot accept (no descriptor left) keeps the
// socket ready, so the listener then rests out of the wait for a while; the user is told once that
// clients wait, and once when they are accepted again. A failed listener stops the loop.
#pragma once

#include "plinth/event/event_loop.h"
#include "plinth/net/internet_server.h"
#include "receiver/clients.h"

namespace farspeak {

class Listener final : public plinth::Watcher, public plinth::Timer {
 public:
  Listener(plinth::EventLoop& loop, plinth::InternetServer& server, Clients& clients,
           const OutputFormat& format);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  void onReadable() override;
  void onTimer() override;  // the rest is over
  // At a stop: the clients waiting in the queue connected before it, and are taken until none is
  // left, an accept fails (no descriptor left) or the clock reads `until`. Then no more come.
  void takeQueueAndClose(double until);
  const plinth::InternetServer& server() const { return server_; }

 private:
  // Accepts every pending client until `until`, reports it and adds it. True when any came.
  bool acceptWaitingClients(double until);
  void sayClientsWait();

  plinth::EventLoop& loop_;
  plinth::InternetServer& server_;
  Clients& clients_;
  const OutputFormat& format_;
  bool clientsWait_ = false;     // said so, and not yet that they are accepted again
  unsigned acceptedBefore_ = 0;  // picks each client's colour
};

}  // namespace farspeak
