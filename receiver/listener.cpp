#include "receiver/listener.h"

#include <cmath>

#include "plinth/core/clock.h"
#include "plinth/platform/platform.h"
#include "plinth/text/text_writer.h"

namespace farspeak {
namespace {

// How long (seconds) a listener whose waiting client cannot be accepted stays out of the wait, so
// as not to spin on it.
constexpr double acceptRest = 0.1;

}  // namespace

Listener::Listener(plinth::EventLoop& loop, plinth::InternetServer& server, Clients& clients,
                   const OutputFormat& format)
    : loop_(loop), server_(server), clients_(clients), format_(format) {
  loop_.watch(*this, server_.handle());
}

Listener::~Listener() {
  loop_.unwatch(*this);
  loop_.cancel(*this);
}

void Listener::onReadable() {
  const bool accepted = acceptWaitingClients(HUGE_VAL);
  if (!server_.isRunning()) {
    loop_.stop();  // no client can connect any more
  } else if (server_.acceptFailed()) {
    sayClientsWait();
    loop_.setReading(*this, false);
    loop_.schedule(*this, loop_.now() + acceptRest);
  } else if (accepted && clientsWait_) {
    plinth::console().writeText("Accepting clients again\n");
    clientsWait_ = false;
  }
}

void Listener::onTimer() {
  loop_.setReading(*this, true);
}

void Listener::takeQueueAndClose(double until) {
  acceptWaitingClients(until);
  loop_.unwatch(*this);
  loop_.cancel(*this);
  server_.close();
}

bool Listener::acceptWaitingClients(double until) {
  bool accepted = false;
  while (plinth::getSeconds(true) < until && server_.hasPendingConnection()) {
    ClientHandler& client = clients_.add(server_.acceptConnection(), acceptedBefore_++);
    reportClient(client.record, "Incoming connection from ", "\n", format_);
    accepted = true;
  }
  return accepted;
}

void Listener::sayClientsWait() {
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

}  // namespace farspeak
