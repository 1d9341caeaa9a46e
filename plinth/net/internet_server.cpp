#include "plinth/net/internet_server.h"

#include "plinth/net/internet_connection_impl.h"
#include "plinth/net/sockets.h"

namespace plinth {
namespace {

// Refused clients that one look for a waiting client goes through at most: each costs some tens
// of microseconds of the system's time (the accept, the reset), and a flood of them must hold up
// the lines of the clients let in by no more than that.
constexpr int mostRefusalsAtOnce = 4;

}  // namespace

struct InternetServerImpl {
  platform::SocketAddress address;  // its port the bound one once listening
  bool stopped = true;
  platform::SocketHandle listeningSocket = platform::invalidSocket;
  plinth_string hostAddress;
  CountedRef<InternetConnection> pendingConnection;
  bool acceptFailed = false;  // the last attempt to accept a waiting client
  int acceptError = 0;        // and the system's code for it
  ServerFailure failure = ServerFailure::none;
  int failureError = 0;
  InternetServer::Admission admission;
  bool moreMayWait = false;  // the last look ended after refusing its most
};

InternetServer::InternetServer(std::int32_t port)
    : InternetServer(
          platform::anyAddress(platform::AddressFamily::ipv4, static_cast<std::uint16_t>(port))) {}

InternetServer::InternetServer(const platform::SocketAddress& address)
    : impl_(new InternetServerImpl) {
  impl_->address = address;
  open();
}

InternetServer::~InternetServer() {
  close();
  delete impl_;
}

void InternetServer::close() {
  if (impl_->listeningSocket != platform::invalidSocket) {
    platform::services.shutdown(impl_->listeningSocket, platform::ShutdownDirection::receive);
    platform::services.closeSocket(impl_->listeningSocket);
    impl_->listeningSocket = platform::invalidSocket;
  }
  impl_->pendingConnection.release();  // a client accepted ahead and never taken is closed here
  impl_->stopped = true;
}

void InternetServer::open() {
  const auto fail = [this](ServerFailure step) {
    impl_->failure = step;
    impl_->failureError =
        step == ServerFailure::socketLibrary ? 0 : platform::services.lastSocketError();
  };
  if (!startSockets())
    return fail(ServerFailure::socketLibrary);
  platform::SocketAddress& address = impl_->address;
  impl_->listeningSocket = platform::services.openStreamSocket(address.family);
  if (impl_->listeningSocket == platform::invalidSocket)
    return fail(ServerFailure::socket);
  if (!platform::services.bindAddress(impl_->listeningSocket, address))
    return fail(ServerFailure::bind);
  if (!platform::services.listen(impl_->listeningSocket))
    return fail(ServerFailure::listen);
  impl_->stopped = false;
  platform::services.localPort(impl_->listeningSocket, &address.port);

  const platform::SocketAddress any = platform::anyAddress(address.family, address.port);
  if (address != any) {
    impl_->hostAddress.assignNarrow(platform::services.addressText(address).c_str(), codePage1252);
    return;
  }
  // Where other machines can reach this host, for the banner.
  const std::vector<std::string> addresses = platform::services.interfaceAddresses(address.family);
  for (const std::string& text : addresses) {
    if (impl_->hostAddress.length > 0)
      impl_->hostAddress.append(u", ");
    impl_->hostAddress.appendNarrow(text.c_str(), codePage1252);
  }
  if (addresses.empty()) {
    impl_->hostAddress.assignNarrow(
        platform::services.addressText(platform::loopbackAddress(address.family, 0)).c_str(),
        codePage1252);
  }
}

bool InternetServer::isRunning() const {
  return !impl_->stopped;
}

ServerFailure InternetServer::failure() const {
  return impl_->failure;
}

int InternetServer::failureError() const {
  return impl_->failureError;
}

bool InternetServer::hasPendingConnection() {
  if (!impl_->pendingConnection)
    impl_->pendingConnection = tryAccept();
  return static_cast<bool>(impl_->pendingConnection);
}

CountedRef<InternetConnection> InternetServer::acceptConnection() {
  if (!impl_->pendingConnection)
    return tryAccept();
  CountedRef<InternetConnection> connection = impl_->pendingConnection;
  impl_->pendingConnection.release();
  return connection;
}

bool InternetServer::moreMayWait() const {
  return impl_->moreMayWait;
}

const char16_t* InternetServer::getHostAddress() const {
  return impl_->hostAddress.text;
}

std::uint16_t InternetServer::getPort() const {
  return impl_->address.port;
}

bool InternetServer::acceptFailed() const {
  return impl_->acceptFailed;
}

int InternetServer::acceptError() const {
  return impl_->acceptError;
}

void InternetServer::setAdmission(Admission admission) {
  impl_->admission = std::move(admission);
}

platform::SocketHandle InternetServer::handle() const {
  return impl_->listeningSocket;
}

CountedRef<InternetConnection> InternetServer::tryAccept() {
  impl_->moreMayWait = false;
  for (int refused = 0; refused < mostRefusalsAtOnce && !impl_->stopped; ++refused) {
    const platform::PollResult result =
        platform::services.poll(impl_->listeningSocket, platform::PollDirection::readable);
    if (result.failed || result.exception) {
      impl_->stopped = true;
      impl_->failure = result.failed ? ServerFailure::poll : ServerFailure::exception;
      impl_->failureError = result.failed ? platform::services.lastSocketError() : 0;
      return {};
    }
    if (!result.ready)
      return {};
    platform::SocketAddress peer;
    const platform::SocketHandle accepted =
        platform::services.accept(impl_->listeningSocket, &peer);
    impl_->acceptFailed = accepted == platform::invalidSocket;
    impl_->acceptError = impl_->acceptFailed ? platform::services.lastSocketError() : 0;
    if (impl_->acceptFailed)
      return {};  // the server keeps running
    if (!impl_->admission || impl_->admission(peer)) {
      return CountedRef<InternetConnection>(
          new InternetConnection(new InternetConnectionImpl(accepted, peer)));
    }
    platform::services.setLinger(accepted, 0);
    platform::services.closeSocket(accepted);
  }
  impl_->moreMayWait = !impl_->stopped;
  return {};
}

}  // namespace plinth
