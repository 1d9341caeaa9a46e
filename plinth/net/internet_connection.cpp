#include "plinth/net/internet_connection.h"

#include "plinth/core/spin_lock.h"
#include "plinth/net/sockets.h"
#include "plinth/platform/receive_buffer.h"
#include "plinth/text/text_writer.h"

namespace plinth {
namespace {

using platform::PollDirection;

constexpr int drainPiece = 128;
// Closing drains what the peer has already sent, so that the close stays orderly, but never waits
// for more: the caller's thread serves every other client too.
constexpr int drainLimit = 64 * 1024;
constexpr std::uint16_t lingerSeconds = 2;

std::int32_t smaller(std::int32_t a, std::int32_t b) {
  return a < b ? a : b;
}

}  // namespace

InternetConnectionImpl::InternetConnectionImpl(platform::SocketHandle accepted,
                                               const char* peerAddress)
    : socket(accepted) {
  address.assignNarrow(peerAddress, codePage1252);
}

void InternetConnectionImpl::reportReadError() {
  console()
      .writeText("Socket read error: ")
      .writeInt(platform::services.lastSocketError())
      .writeText("\n");
}

void InternetConnectionImpl::end(ConnectionState how) {
  state = how;
  closed = true;
}

bool InternetConnectionImpl::pollWritable() {
  return poll(PollDirection::writable);
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
        platform::services.send(socket, bytes + sent, smaller(count - sent, largestPiece));
    if (put < 0) {
      const int error = platform::services.lastSocketError();
      const platform::PollResult after = platform::buffered::poll(socket, PollDirection::writable);
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
  if (seenReady) {
    if (hasWritten)
      platform::services.setLinger(socket, lingerSeconds);
    platform::services.shutdown(socket, platform::ShutdownDirection::send);
    char discard[drainPiece];
    for (int drained = 0; drained < drainLimit; drained += drainPiece) {
      const platform::PollResult ready = platform::buffered::poll(socket, PollDirection::readable);
      if (ready.failed || ready.exception || !ready.ready)
        break;
      const int got = platform::buffered::receive(socket, discard, drainPiece);
      if (got == 0)
        break;
      if (got < 0) {
        console()
            .writeWideString(getComputerName())
            .writeText(": Socket close error: ")
            .writeInt(platform::services.lastSocketError())
            .writeText("\n");
        end(stateSocketError);
        break;
      }
    }
  }
  platform::buffered::closeSocket(socket);
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

std::int64_t InternetConnection::read(void* buffer, std::int32_t count) {
  if (!impl_->hasPushback)
    return impl_->receiveBytes(buffer, count);
  auto* bytes = static_cast<unsigned char*>(buffer);
  bytes[0] = static_cast<unsigned char>(impl_->pushbackByte);
  impl_->hasPushback = false;
  return 1 + std::int64_t{impl_->receiveBytes(bytes + 1, count - 1)};
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

}  // namespace plinth
