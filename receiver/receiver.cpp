#include "receiver/receiver.h"

#include <cmath>
#include <cstdlib>

#include "plinth/core/clock.h"
#include "plinth/net/sockets.h"
#include "plinth/platform/platform.h"
#include "plinth/text/text_writer.h"

namespace farspeak {
namespace {

// Under load, a pass reads readiness from the snapshot of at most this long ago (seconds, fine
// clock): renewing it every pass would double the system calls per line.
constexpr double renewalInterval = 0.0001;
// A listener whose waiting client cannot be accepted (no descriptor left) stays ready; the loop
// leaves it out of its wait this long, so as not to spin on it.
constexpr double acceptRest = 0.1;

// Milliseconds from `now` until `when`, rounded up, and one more: a piece is due only once more
// than half a second has passed, and the clock counts in whole milliseconds.
std::int32_t millisecondsUntil(double when, double now) {
  return static_cast<std::int32_t>(std::max(0.0, std::ceil((when - now) * 1000.0)) + 1);
}

}  // namespace

bool acceptClients(plinth::InternetServer& server, ClientList& clients,
                   const OutputFormat& format) {
  static unsigned acceptedBefore = 0;  // picks each client's colour
  bool accepted = false;
  while (server.hasPendingConnection()) {
    clients.push_back(ClientRecord(server.acceptConnection(), format, acceptedBefore++));
    reportClient(clients.back(), "Incoming connection from ", "\n", format);
    accepted = true;
  }
  return accepted;
}

PassResult pollClients(ClientList& clients, OutputBuffer& output, double now) {
  PassResult result;
  Pass pass{output, now};
  for (auto record = clients.begin(); record != clients.end();) {
    if (!pollClient(*record, pass)) {
      record = clients.erase(record);
      result.worked = true;
      continue;
    }
    if (!record->buffer.empty()) {
      const double due = record->lastFlushTime + pieceInterval;
      result.nextPieceDue = std::min(result.nextPieceDue.value_or(due), due);
    }
    ++record;
  }
  result.worked = result.worked || pass.anyByteReceived;
  return result;
}

void serveClients(plinth::InternetServer& server, ClientList& clients, const OutputFormat& format) {
  const plinth::platform::Services& services = plinth::platform::services;
  OutputBuffer output(format);
  double lastRenewal = 0.0;
  bool waited = false;   // the wait has just renewed the snapshot
  bool resting = false;  // from clients, after a failed accept
  double restingUntil = 0.0;
  while (server.isRunning() && !services.stopRequested()) {
    const double now = plinth::getSeconds(true);
    output.passBegins(now);
    bool freshSnapshot = waited;
    if (!waited && now - lastRenewal >= renewalInterval) {
      services.renewReadiness();
      freshSnapshot = true;
    }
    if (freshSnapshot)
      lastRenewal = now;
    waited = false;

    if (resting && now >= restingUntil) {
      server.watchForClients(true);
      resting = false;
    }
    bool worked = false;
    // A new client shows only in a new snapshot: the listener is asked only then.
    if (freshSnapshot && !resting) {
      worked = acceptClients(server, clients, format);
      if (server.acceptFailed()) {
        server.watchForClients(false);
        resting = true;
        restingUntil = now + acceptRest;
      }
    }
    const PassResult pass = pollClients(clients, output, now);
    if (worked || pass.worked)
      continue;

    output.writeHeld();
    std::int32_t limit = -1;
    const double waitStart = plinth::getSeconds(true);
    if (pass.nextPieceDue)
      limit = millisecondsUntil(*pass.nextPieceDue, waitStart);
    if (resting) {
      const std::int32_t rest = millisecondsUntil(restingUntil, waitStart);
      limit = limit < 0 ? rest : std::min(limit, rest);
    }
    services.waitForReadiness(limit);
    waited = true;
  }
  // Asked to stop: what the clients delivered still reaches standard output, lines ended.
  for (ClientRecord& record : clients)
    flushClient(record, output);
  output.endOpenLine();
}

Receiver::Receiver(const Options& options) {
  plinth::InternetServer server(options.port, options.listenAddress.c_str());
  if (!server.isRunning()) {
    plinth::console().writeText("Couldn't start the server\n");
    return;
  }
  plinth::console()
      .writeText("Farspeak started on port ")
      .writeInt(server.getPort())
      .writeText("!\n");
  plinth::console().writeText("hostname=").writeWideText(plinth::getHostName()).writeText("\n");
  plinth::console()
      .writeText("host address=")
      .writeWideText(server.getHostAddress())
      .writeText("\n");
  // Colours are for a person at a terminal, who has not asked for none (no-color.org).
  const char* noColour = std::getenv("NO_COLOR");
  const OutputFormat format{.tags = options.tag,
                            .timestamps = options.timestamps,
                            .colour = options.tag && (noColour == nullptr || *noColour == '\0') &&
                                      plinth::platform::services.standardOutputTakesColour()};
  serveClients(server, clients, format);
}

}  // namespace farspeak
