#include "receiver/receiver.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "plinth/core/clock.h"
#include "plinth/net/sockets.h"
#include "plinth/platform/platform.h"
#include "plinth/text/text_writer.h"

namespace farspeak {
namespace {

// After a stop request, the clients are read as usual for at most this many seconds (wall clock);
// after that, each only for what had arrived when the stop was requested.
constexpr double stopWindow = 3.0;
// At a stop, the clients already waiting in the listeners' queues are accepted for at most this
// many seconds, so that a flood of connects cannot hold the stop.
constexpr double longestQueueTake = 1.0;
// With port 0 and several listeners, a port free on the first may be taken on another: so many
// tries at most.
constexpr int freePortAttempts = 5;

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

// The system could not say which sockets are ready, for the reason `error`: the loop cannot go on.
void sayTheWaitFailed(int error) {
  plinth::console().writeText("Waiting for the sockets failed");
  writeSocketError(error).writeText("; stopping\n");
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

// A stop request, from the moment it comes to the end of the loop: the one place that knows whether
// the receiver is stopping. It watches the stop wake; at the request it takes the clients waiting
// in the listeners' queues and closes the listeners, and each client is owed what had arrived by
// then. The loop then reads as usual until a look finds nothing more to read, or the window is
// over.
class Receiver::Stop final : public plinth::Watcher, public plinth::Timer {
 public:
  explicit Stop(Receiver& receiver) : receiver_(receiver) {
    receiver_.loop_.watch(*this, plinth::platform::services.stopWake());
  }
  ~Stop() {
    receiver_.loop_.unwatch(*this);
    receiver_.loop_.cancel(*this);
  }

  bool requested() const { return requested_; }

  void onReadable() override {
    if (!plinth::platform::services.stopRequested())
      return;
    requested_ = true;
    plinth::EventLoop& loop = receiver_.loop_;
    loop.unwatch(*this);
    const double until = plinth::getSeconds(true) + longestQueueTake;
    for (Listener& listener : receiver_.listeners_)
      listener.takeQueueAndClose(until);
    receiver_.clients_.noteOwed();
    loop.updateTime();
    loop.schedule(*this, loop.now() + stopWindow);
  }
  // The window is over.
  void onTimer() override { receiver_.loop_.stop(); }

  // Before the loop waits: done once a look found nothing more to read, and nothing is left for
  // another turn; while reading is held off, pieces go out first.
  void beforeWait() {
    plinth::EventLoop& loop = receiver_.loop_;
    if (!requested_ || loop.turnsPending() || receiver_.budget_.readingHeldOff())
      return;
    if (!loop.calledAny())
      loop.stop();
    else
      loop.lookNext();
  }

 private:
  Receiver& receiver_;
  bool requested_ = false;
};

Receiver::Receiver(const std::vector<plinth::InternetServer*>& servers, const OutputFormat& format,
                   const AccessRules& rules)
    : format_(format),
      rules_(rules),
      output_(format_, &loop_),
      refusals_(loop_, output_),
      budget_(&output_),
      clients_(loop_, output_, budget_),
      stop_(std::make_unique<Stop>(*this)) {
  for (plinth::InternetServer* server : servers)
    listeners_.emplace_back(loop_, *server, clients_, format_, rules_, refusals_);
  loop_.setBeforeWait([this] { beforeWait(); });
  // Standard error, meant for people, must never hold up the clients' lines.
  plinth::platform::services.queueStandardError();
}

Receiver::~Receiver() = default;

void Receiver::beforeWait() {
  clients_.releaseEnded();
  for (Listener& listener : listeners_)
    listener.resumeWhenRoom();
  budget_.resumeWhenRoom();
  stop_->beforeWait();
  if (loop_.turnsPending())
    return;
  output_.writeHeld();
  budget_.giveBack();
}

LoopEnd Receiver::run() {
  const bool waited = loop_.run();
  const int waitError = waited ? 0 : plinth::platform::services.lastSocketError();
  if (output_.failed())
    return LoopEnd::outputFailed;
  // What the clients delivered, and at a stop what they are owed, still reaches standard output,
  // their lines ended; the result is known only once it has.
  const std::size_t stillSending = clients_.finish(plinth::getSeconds(true), stop_->requested());
  refusals_.finish();
  output_.writeHeld();
  if (stillSending > 0) {
    plinth::console()
        .writeUInt64(stillSending)
        .writeText(stillSending == 1 ? " client was" : " clients were")
        .writeText(
            " still sending when Farspeak stopped; what they sent after the stop request was not "
            "written\n");
  }
  if (output_.failed())
    return LoopEnd::outputFailed;
  if (!waited) {
    sayTheWaitFailed(waitError);
    return LoopEnd::waitFailed;
  }
  if (stop_->requested())
    return LoopEnd::stopRequested;
  for (const Listener& listener : listeners_) {
    if (!listener.server().isRunning())
      sayTheListenerFailed(listener.server());
  }
  return LoopEnd::listenerFailed;
}

LoopEnd serveClients(const std::vector<plinth::InternetServer*>& servers,
                     const OutputFormat& format, const AccessRules& rules) {
  Receiver receiver(servers, format, rules);
  return receiver.run();
}

namespace {

// Every IPv4 address, or each address the options name, and each one a name stands for; empty once
// it has said why there is none.
std::vector<plinth::platform::SocketAddress> listenAddresses(const Options& options) {
  using plinth::platform::AddressFamily;
  using plinth::platform::isAnyAddress;
  using plinth::platform::SocketAddress;
  const plinth::platform::Services& services = plinth::platform::services;
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
          .writeWideText(services.argumentText(text.c_str()).c_str())
          .writeText(" names no address to listen on (")
          .writeText(failure.c_str())
          .writeText(")\n");
      return {};
    }
    for (const SocketAddress& address : found) {
      if (std::find(addresses.begin(), addresses.end(), address) == addresses.end())
        addresses.push_back(address);
    }
  }
  // A name may stand for an address that every address of its family, given too, takes in: the
  // system would not listen on both.
  bool everyAddress[2] = {};
  for (const SocketAddress& address : addresses)
    everyAddress[address.family == AddressFamily::ipv6] |= isAnyAddress(address);
  std::erase_if(addresses, [&everyAddress](const SocketAddress& address) {
    return everyAddress[address.family == AddressFamily::ipv6] && !isAnyAddress(address);
  });
  return addresses;
}

// A server on each address, until one fails to start (the last). With port 0, the first takes a
// free port and the others the same one, which may be taken on their address: then all start
// again on another.
std::vector<std::unique_ptr<plinth::InternetServer>> openServers(
    const std::vector<plinth::platform::SocketAddress>& addresses, std::uint16_t port) {
  std::vector<std::unique_ptr<plinth::InternetServer>> servers;
  for (int attempt = 1;; ++attempt) {
    servers.clear();
    std::uint16_t taken = port;
    for (plinth::platform::SocketAddress address : addresses) {
      address.port = taken;
      servers.push_back(std::make_unique<plinth::InternetServer>(address));
      if (!servers.back()->isRunning())
        break;
      taken = servers.back()->getPort();
    }
    const plinth::InternetServer& last = *servers.back();
    const bool pickAgain = port == 0 && servers.size() > 1 && attempt < freePortAttempts &&
                           last.failure() == plinth::ServerFailure::bind &&
                           plinth::platform::services.socketErrorKind(last.failureError()) ==
                               plinth::platform::SocketErrorKind::addressInUse;
    if (!pickAgain)
      return servers;
  }
}

void sayTheBanner(const std::vector<std::unique_ptr<plinth::InternetServer>>& servers) {
  plinth::console()
      .writeText("Farspeak started on port ")
      .writeInt(servers.front()->getPort())
      .writeText("!\n");
  plinth::console().writeText("hostname=").writeWideText(plinth::getHostName()).writeText("\n");
  plinth::TextWriter& banner = plinth::console().writeText("host address=");
  for (std::size_t server = 0; server < servers.size(); ++server)
    banner.writeText(server > 0 ? " " : "").writeWideText(servers[server]->getHostAddress());
  banner.writeText("\n");
}

OutputFormat outputFormat(const Options& options) {
  // Colours are for a person at a terminal, who has not asked for none (no-color.org); the
  // clients' own, asked for by name, whatever the output and NO_COLOR (a record escapes them).
  const char* noColour = std::getenv("NO_COLOR");
  const bool prefixes = !options.json;
  return {.tags = options.tag,
          .timestamps = options.timestamps,
          .colour = prefixes && options.tag && (noColour == nullptr || *noColour == '\0') &&
                    plinth::platform::services.standardOutputTakesColour(),
          .json = options.json,
          .ansi = prefixes && options.ansi};
}

}  // namespace

bool runReceiver(const Options& options) {
  const std::vector<plinth::platform::SocketAddress> addresses = listenAddresses(options);
  if (addresses.empty())
    return false;
  const std::vector<std::unique_ptr<plinth::InternetServer>> servers =
      openServers(addresses, options.port);
  if (!servers.back()->isRunning()) {
    plinth::console().writeText("Couldn't start the server\n");
    sayWhyTheServerDidNotStart(
        *servers.back(), options.port,
        options.listenAddresses.empty()
            ? ""
            : plinth::platform::services.addressText(addresses[servers.size() - 1]));
    return false;
  }
  sayTheBanner(servers);
  if (const std::string rule = options.access.sentence(); !rule.empty())
    plinth::console().writeText(rule.c_str()).writeText("\n");
  std::vector<plinth::InternetServer*> listening;
  for (const auto& server : servers)
    listening.push_back(server.get());
  return serveClients(listening, outputFormat(options), options.access) == LoopEnd::stopRequested;
}

}  // namespace farspeak
