#include "receiver/listener.h"

#include <cmath>
#include <cstdint>

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
                   const OutputFormat& format, const AccessRules& rules, RefusalReports& refusals)
    : loop_(loop),
      server_(server),
      clients_(clients),
      format_(format),
      rules_(rules),
      refusals_(refusals) {
  loop_.watch(*this, server_.handle());
  if (rules_.judgesAddresses()) {
    server_.setAdmission([this](const plinth::platform::SocketAddress& peer) {
      const Verdict verdict = rules_.judge(peer);
      if (verdict != Verdict::admitted)
        refusals_.report(peer, verdict);
      return verdict == Verdict::admitted;
    });
  }
}

Listener::~Listener() {
  server_.setAdmission({});  // the server may outlive its listener
  loop_.unwatch(*this);
  loop_.cancel(*this);
}

void Listener::onReadable() {
  if (clients_.count() >= mostClients()) {
    // A client waits beyond the limit: it is accepted once another has left.
    sayClientsWait(true);
    loop_.setReading(*this, false);
    waitingForRoom_ = true;
    return;
  }
  const bool accepted = acceptWaitingClients(HUGE_VAL, mostClients());
  if (!server_.isRunning()) {
    loop_.stop();  // no client can connect any more
  } else if (server_.acceptFailed()) {
    sayClientsWait(false);
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

void Listener::resumeWhenRoom() {
  if (!waitingForRoom_ || clients_.count() >= mostClients())
    return;
  waitingForRoom_ = false;
  if (!scheduled())  // resting: the rest's end resumes
    loop_.setReading(*this, true);
}

void Listener::takeQueueAndClose(double until) {
  // Refused clients may stand before one that is let in: the looks go on while more may wait.
  do
    acceptWaitingClients(until, SIZE_MAX);
  while (server_.moreMayWait() && plinth::getSeconds(true) < until);
  loop_.unwatch(*this);
  loop_.cancel(*this);
  server_.close();
}

bool Listener::acceptWaitingClients(double until, std::size_t most) {
  bool accepted = false;
  while (clients_.count() < most && plinth::getSeconds(true) < until &&
         server_.hasPendingConnection()) {
    ClientHandler& client = clients_.add(server_.acceptConnection(), acceptedBefore_++);
    reportClient(client.record, "Incoming connection from ", "\n", format_);
    accepted = true;
  }
  return accepted;
}

std::size_t Listener::mostClients() const {
  return rules_.mostClients > 0 ? rules_.mostClients : SIZE_MAX;
}

void Listener::sayClientsWait(bool atMostClients) {
  const plinth::platform::Services& services = plinth::platform::services;
  if (clientsWait_ || (!atMostClients && services.socketErrorKind(server_.acceptError()) !=
                                             plinth::platform::SocketErrorKind::descriptorLimit)) {
    return;
  }
  clientsWait_ = true;
  plinth::TextWriter& console = plinth::console().writeText("Clients are waiting: ");
  if (atMostClients) {
    console.writeUInt64(rules_.mostClients)
        .writeText(rules_.mostClients == 1 ? " is" : " are")
        .writeText(" connected, the most --max-clients allows");
  } else if (const std::uint64_t limit = services.descriptorLimit()) {
    console.writeText("every one of the ")
        .writeUInt64(limit)
        .writeText(" descriptors this process may open is in use");
  } else {
    console.writeText("the system has no socket left for them");
  }
  console.writeText("; they are accepted as others leave\n");
}

}  // namespace farspeak
