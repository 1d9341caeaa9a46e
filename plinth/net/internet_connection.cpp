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

// One block kept back for the next receive, so that a busy connection does not go to the heap
// every time its buffer drains.
std::atomic<unsigned char*> spareBlock{nullptr};

}  // namespace

std::span<unsigned char> ReceivedBytes::room(std::size_t most) {
  if (storage_ == nullptr) {
    capacity_ = std::min<std::size_t>(most, blockSize);
    if (capacity_ == blockSize)
      storage_ = spareBlock.exchange(nullptr, std::memory_order_acquire);
    if (storage_ == nullptr)
      storage_ = static_cast<unsigned char*>(std::malloc(capacity_));
  }
  if (storage_ == nullptr || storage_ == fallback_) {
    storage_ = fallback_;
    capacity_ = sizeof fallback_;
  }
  return {storage_, capacity_};
}

void ReceivedBytes::release() {
  if (storage_ != nullptr && storage_ != fallback_) {
    std::free(capacity_ == blockSize ? spareBlock.exchange(storage_, std::memory_order_acq_rel)
                                     : storage_);
  }
  storage_ = nullptr;
  next_ = end_ = 0;
}

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
  return !received.empty() || poll(PollDirection::readable);
}

bool InternetConnectionImpl::pollWritable() {
  return poll(PollDirection::writable);
}

NetworkConnection::Received InternetConnectionImpl::refill() {
  using Received = NetworkConnection::Received;
  if (closed)
    return Received::ended;
  if (socket == platform::invalidSocket) {
    end(statePollFailed);  // closed here: as a poll of it would, it fails
    return Received::ended;
  }
  if (receiveLimit == 0)
    return Received::nothingYet;
  const std::span<unsigned char> room = received.room(receiveLimit);
  const int got = platform::services.receive(socket, room.data(), static_cast<int>(room.size()));
  if (got > 0 && receiveLimit != ~std::size_t{0})
    receiveLimit -= static_cast<std::size_t>(got);
  // The code first: writing the message may make system calls of its own.
  const int error = got < 0 ? platform::services.lastSocketError() : 0;
  if (got < 0 &&
      platform::services.socketErrorKind(error) == platform::SocketErrorKind::wouldBlock) {
    received.release();
    return Received::nothingYet;
  }
  seenReady = true;  // a receive that does not wait found the socket readable
  if (got > 0) {
    bytesReceived += static_cast<std::uint64_t>(got);
    received.filled(got);
    return Received::bytes;
  }
  received.release();
  if (got == 0) {
    end(stateClosedByPeer);
    return Received::ended;
  }
  console().writeText("Socket read error: ").writeInt(error).writeText("\n");
  end(stateSocketError);
  return Received::ended;
}

std::int32_t InternetConnectionImpl::receiveBytes(void* buffer, std::int32_t count) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::int32_t stored = 0;
  while (stored < count) {
    if (!received.empty()) {
      const std::span<const unsigned char> held = received.held();
      const std::size_t taken = std::min(static_cast<std::size_t>(count - stored), held.size());
      std::memcpy(bytes + stored, held.data(), taken);
      received.take(taken);
      stored += static_cast<std::int32_t>(taken);
    } else if (closed) {
      break;
    } else if (!pollReadable()) {
      sleepMilliseconds(1);
    } else {
      refill();
    }
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
  if (watched)
    platform::services.unwatchSocket(socket);
  watched = false;
  received.release();
  if (seenReady) {
    if (hasWritten)
      platform::services.setLinger(socket, lingerSeconds);
    platform::services.shutdown(socket, platform::ShutdownDirection::send);
    const std::span<unsigned char> discard = received.room();
    for (int drained = 0; drained < drainLimit;) {
      const platform::PollResult ready = platform::services.poll(socket, PollDirection::readable);
      if (ready.failed || !ready.ready)
        break;
      const int got =
          platform::services.receive(socket, discard.data(), static_cast<int>(discard.size()));
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
    received.release();
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

NetworkConnection::Received InternetConnection::receiveSome() {
  return impl_->refill();
}

std::span<const unsigned char> InternetConnection::peekBytes() {
  if (impl_->received.empty() && (impl_->receivingHeldOff || impl_->refill() != Received::bytes))
    return {};
  return impl_->received.held();
}

void InternetConnection::consume(std::size_t count) {
  impl_->received.take(count);
}

void InternetConnection::watch(std::uintptr_t key) {
  if (impl_->socket == platform::invalidSocket)
    return;
  impl_->inLoop = true;
  impl_->key = key;
  impl_->watched = platform::services.watchSocket(impl_->socket, key);
}

void InternetConnection::readyFound(bool) {
  impl_->seenReady = true;
}

void InternetConnection::holdOffReceiving(bool heldOff) {
  if (heldOff == impl_->receivingHeldOff || impl_->socket == platform::invalidSocket)
    return;
  impl_->receivingHeldOff = heldOff;
  // A readiness wait would find the socket ready again and again while it is not read.
  if (heldOff && impl_->watched) {
    platform::services.unwatchSocket(impl_->socket);
    impl_->watched = false;
  } else if (!heldOff && impl_->inLoop) {
    watch(impl_->key);
  }
}

void InternetConnection::limitReceives(std::size_t bytes) {
  impl_->receiveLimit = bytes;
}

std::size_t InternetConnection::receivedMemory() {
  return impl_->received.memory();
}

std::uint64_t InternetConnection::getReceivedCount() {
  return impl_->bytesReceived;
}

std::size_t InternetConnection::bytesWaiting() {
  return impl_->socket == platform::invalidSocket ? 0
                                                  : platform::services.bytesWaiting(impl_->socket);
}

int InternetConnection::peekByte() {
  const std::span<const unsigned char> bytes = peekBytes();
  return bytes.empty() ? -1 : bytes[0];
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
