#include "plinth/net/internet_connection.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "plinth/core/spin_lock.h"
#include "plinth/net/internet_connection_impl.h"
#include "plinth/net/sockets.h"
#include "plinth/text/text_writer.h"

namespace plinth {
namespace {

using platform::PollDirection;

// Closing drains what the peer has already sent, so that the close stays orderly, a block at a
// time, but never waits for more: the caller's thread serves every other client too.
constexpr int drainLimit = 64 * 1024;
constexpr std::uint16_t lingerSeconds = 2;

std::int32_t smaller(std::int32_t a, std::int32_t b) {
  return a < b ? a : b;
}

}  // namespace

InternetConnectionImpl::InternetConnectionImpl(platform::SocketHandle accepted,
                                               const platform::SocketAddress& peer)
    : socket(accepted), port(peer.port) {
  address.assignNarrow(platform::services.addressText(peer).c_str(), codePage1252);
}

void InternetConnectionImpl::end(ConnectionState how) {
  state = how;
  closed = true;
}

bool InternetConnectionImpl::poll(PollDirection direction) {
  const platform::PollResult result = platform::services.poll(socket, direction);
  if (result.failed) {
    end(statePollFailed);
    return false;
  }
  // Accepted sockets take urgent data in their stream: its exception condition is only more to
  // read.
  const bool ready = result.ready || (result.exception && direction == PollDirection::readable);
  if (ready)
    seenReady = true;
  return ready;
}

bool InternetConnectionImpl::pollReadable() {
  return pushbackByte >= 0 || poll(PollDirection::readable);
}

bool InternetConnectionImpl::pollWritable() {
  return poll(PollDirection::writable);
}

NetworkConnection::Read InternetConnectionImpl::receiveNow(void* buffer, std::int32_t count) {
  using Read = NetworkConnection::Read;
  if (closed)
    return {Read::ended};
  if (socket == platform::invalidSocket) {
    end(statePollFailed);  // closed here: as a poll of it would, it fails
    return {Read::ended};
  }
  const int got = platform::services.receive(socket, buffer, count);
  // The code first: writing the message may make system calls of its own.
  const int error = got < 0 ? platform::services.lastSocketError() : 0;
  if (got < 0 &&
      platform::services.socketErrorKind(error) == platform::SocketErrorKind::wouldBlock) {
    return {Read::nothingYet};
  }
  seenReady = true;  // a receive that does not wait found the socket readable
  if (got > 0)
    return {Read::bytes, got};
  if (got == 0) {
    end(stateClosedByPeer);
    return {Read::ended};
  }
  console().writeText("Socket read error: ").writeInt(error).writeText("\n");
  end(stateSocketError);
  return {Read::ended};
}

std::int32_t InternetConnectionImpl::receiveBytes(void* buffer, std::int32_t count) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::int32_t stored = 0;
  if (count > 0 && pushbackByte >= 0) {
    bytes[stored++] = static_cast<unsigned char>(pushbackByte);
    pushbackByte = -1;
  }
  while (stored < count && !closed) {
    if (!pollReadable()) {
      sleepMilliseconds(1);
      continue;
    }
    const NetworkConnection::Read got = receiveNow(bytes + stored, count - stored);
    stored += got.count;
  }
  return stored;
}

std::int32_t InternetConnectionImpl::sendBytes(const void* data, std::int32_t count) {
  if (closed || count <= 0)
    return 0;
  hasWritten = true;
  const auto* bytes = static_cast<const char*>(data);
  std::int32_t sent = 0;
  while (!closed && sent < count) {
    if (!pollWritable()) {
      sleepMilliseconds(1);
      continue;
    }
    const int put =
        platform::services.send(socket, bytes + sent, smaller(count - sent, largestSend));
    if (put < 0) {
      const int error = platform::services.lastSocketError();
      if (platform::services.socketErrorKind(error) == platform::SocketErrorKind::wouldBlock)
        continue;  // less room than the poll said: wait for more
      const platform::PollResult after = platform::services.poll(socket, PollDirection::writable);
      console()
          .writeText("Socket write error: ")
          .writeInt(error)
          .writeText(" after ")
          .writeUInt64(bytesSent + static_cast<std::uint64_t>(sent))
          .writeText(" bytes (e=")
          .writeInt(after.exception ? 1 : 0)
          .writeText(",w=")
          .writeInt(after.ready ? 1 : 0)
          .writeChar(')')
          .writeText("\n");
      end(stateSocketError);
    } else {
      sent += put;
    }
  }
  bytesSent += static_cast<std::uint64_t>(sent);
  return sent;
}

void InternetConnectionImpl::close() {
  if (socket == platform::invalidSocket)
    return;
  pushbackByte = -1;
  if (seenReady) {
    if (hasWritten)
      platform::services.setLinger(socket, lingerSeconds);
    platform::services.shutdown(socket, platform::ShutdownDirection::send);
    char discard[16 * 1024];
    for (int drained = 0; drained < drainLimit;) {
      const platform::PollResult ready = platform::services.poll(socket, PollDirection::readable);
      if (ready.failed || !ready.ready)
        break;
      const int got = platform::services.receive(socket, discard, sizeof discard);
      if (got == 0)
        break;
      if (got < 0) {
        const int error = platform::services.lastSocketError();
        console()
            .writeWideString(getComputerName())
            .writeText(": Socket close error: ")
            .writeInt(error)
            .writeText("\n");
        end(stateSocketError);
        break;
      }
      drained += got;
    }
  }
  platform::services.closeSocket(socket);
  socket = platform::invalidSocket;
}

InternetConnection::~InternetConnection() {
  impl_->close();
  delete impl_;
}

bool InternetConnection::isConnected() {
  if (impl_->closed)
    return false;
  if (!impl_->seenReady)
    impl_->pollWritable();  // may end the connection
  return !impl_->closed;
}

ConnectionState InternetConnection::getState() {
  return impl_->state;
}

void InternetConnection::close() {
  impl_->close();
}

NetworkConnection::Read InternetConnection::readSome(void* buffer, std::int32_t count) {
  if (impl_->pushbackByte >= 0) {
    *static_cast<unsigned char*>(buffer) = static_cast<unsigned char>(impl_->pushbackByte);
    impl_->pushbackByte = -1;
    return {Read::bytes, 1};
  }
  return impl_->receiveNow(buffer, count);
}

std::size_t InternetConnection::bytesWaiting() {
  return impl_->socket == platform::invalidSocket ? 0
                                                  : platform::services.bytesWaiting(impl_->socket);
}

platform::SocketHandle InternetConnection::handle() {
  return impl_->socket;
}

int InternetConnection::peekByte() {
  if (impl_->pushbackByte < 0 && impl_->pollReadable()) {
    unsigned char byte = 0;
    if (impl_->receiveNow(&byte, 1).kind == Read::bytes)
      impl_->pushbackByte = byte;
  }
  return impl_->pushbackByte;
}

int InternetConnection::readByte() {
  unsigned char byte = 0;
  return impl_->receiveBytes(&byte, 1) == 1 ? byte : -1;
}

std::int64_t InternetConnection::read(void* buffer, std::int32_t count) {
  return impl_->receiveBytes(buffer, count);
}

bool InternetConnection::writeByte(std::uint8_t byte) {
  return impl_->sendBytes(&byte, 1) == 1;
}

std::int64_t InternetConnection::write(const void* data, std::int32_t count) {
  return impl_->sendBytes(data, count);
}

std::uint64_t InternetConnection::getByteCount() {
  return impl_->bytesSent;
}

const char16_t* InternetConnection::getAddress() {
  return impl_->address.text;
}

std::uint16_t InternetConnection::getPort() {
  return impl_->port;
}

}  // namespace plinth
