// A TCP connection as a NetworkConnection. Every readiness test is a zero-time poll and every wait
// is that poll repeated with 1 ms sleeps, so a caller's thread is never held inside the system
// while data is expected. Failures of receive, send and close are written to the console.
#pragma once

#include <cstdint>

#include "plinth/core/spin_lock.h"
#include "plinth/net/network_connection.h"
#include "plinth/platform/platform.h"
#include "plinth/platform/receive_buffer.h"
#include "plinth/strings/plinth_string.h"

namespace plinth {

// Bytes per receive or send call.
inline constexpr std::int32_t largestPiece = 10240;

struct InternetConnectionImpl {
  InternetConnectionImpl(platform::SocketHandle accepted, const char* peerAddress);

  bool pollReadable();
  bool pollWritable();
  std::int32_t receiveBytes(void* buffer, std::int32_t count);
  std::int32_t sendBytes(const void* data, std::int32_t count);
  void close();

  platform::SocketHandle socket;
  bool closed = false;     // ended: set together with a state of 1, 3 or 4
  bool seenReady = false;  // some poll has found the socket readable or writable
  bool hasWritten = false;
  ConnectionState state = stateOpen;
  bool hasPushback = false;
  std::int32_t pushbackByte = -1;  // the byte peekByte holds back, 0 to 255
  std::uint64_t bytesSent = 0;
  plinth_string address;

 private:
  bool poll(platform::PollDirection direction);
  void end(ConnectionState how);
  void reportReadError();
};

class InternetConnection final : public NetworkConnection {
 public:
  explicit InternetConnection(InternetConnectionImpl* impl) : impl_(impl) {}
  ~InternetConnection() override;
  InternetConnection(const InternetConnection&) = delete;
  InternetConnection& operator=(const InternetConnection&) = delete;

  bool isConnected() override;
  ConnectionState getState() override;
  void close() override;
  int readByte() override;
  int peekByte() override;
  std::int64_t read(void* buffer, std::int32_t count) override;
  bool writeByte(std::uint8_t byte) override;
  std::int64_t write(const void* data, std::int32_t count) override;
  std::uint64_t getByteCount() override;
  const char16_t* getAddress() override;

 private:
  InternetConnectionImpl* impl_;
};

// Receiving a byte is the receiver's hot path, so these are here for the compiler to inline.

inline bool InternetConnectionImpl::poll(platform::PollDirection direction) {
  const platform::PollResult result = platform::buffered::poll(socket, direction);
  if (result.failed) {
    end(statePollFailed);
    return false;
  }
  if (result.exception) {
    end(stateSocketError);
    return false;
  }
  if (result.ready)
    seenReady = true;
  return result.ready;
}

inline bool InternetConnectionImpl::pollReadable() {
  return poll(platform::PollDirection::readable);
}

inline std::int32_t InternetConnectionImpl::receiveBytes(void* buffer, std::int32_t count) {
  if (closed || count <= 0)
    return 0;
  auto* bytes = static_cast<char*>(buffer);
  std::int32_t received = 0;
  while (!closed && received < count) {
    if (!pollReadable()) {
      sleepMilliseconds(1);
      continue;
    }
    const int got = platform::buffered::receive(
        socket, bytes + received,
        count - received < largestPiece ? count - received : largestPiece);
    if (got < 0) {
      reportReadError();
      end(stateSocketError);
    } else if (got == 0) {
      end(stateClosedByPeer);
    } else if (!closed) {
      received += got;
    }
  }
  return received;
}

inline int InternetConnection::readByte() {
  if (impl_->hasPushback) {
    impl_->hasPushback = false;
    return impl_->pushbackByte;
  }
  unsigned char byte = 0;
  return impl_->receiveBytes(&byte, 1) == 1 ? byte : -1;
}

inline int InternetConnection::peekByte() {
  if (impl_->hasPushback)
    return impl_->pushbackByte;
  impl_->pushbackByte = -1;
  if (!impl_->pollReadable())
    return -1;
  unsigned char byte = 0;
  if (impl_->receiveBytes(&byte, 1) == 1)
    impl_->pushbackByte = byte;
  impl_->hasPushback = impl_->pushbackByte != -1;
  return impl_->pushbackByte;
}

}  // namespace plinth
