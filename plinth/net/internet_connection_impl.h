// The state of an InternetConnection, kept out of its public header: the connection's code, and
// tests that build a connection on a socket of their own, include it.
#pragma once

#include <cstdint>
#include <span>

#include "plinth/net/internet_connection.h"
#include "plinth/platform/platform.h"
#include "plinth/strings/plinth_string.h"

namespace plinth {

// Received bytes not yet taken. A receive into an empty buffer takes what the system has, up to
// a block, so that one system call serves many reads; the block is handed back as soon as it is
// empty, so an idle connection holds no memory.
class ReceivedBytes {
 public:
  static constexpr std::int32_t blockSize = 64 * 1024;

  ReceivedBytes() = default;
  ReceivedBytes(const ReceivedBytes&) = delete;
  ReceivedBytes& operator=(const ReceivedBytes&) = delete;
  ~ReceivedBytes() { release(); }

  bool empty() const { return next_ == end_; }
  // The memory the held bytes take.
  std::size_t memory() const { return empty() ? 0 : capacity_; }
  std::span<const unsigned char> held() const {
    return {storage_ + next_, static_cast<std::size_t>(end_ - next_)};
  }
  // Room for one receive into the empty buffer: a block, or room for `most` bytes when that is
  // less, or when memory is short the few bytes of a fallback (slower, but nothing is lost).
  std::span<unsigned char> room(std::size_t most = blockSize);
  // The first `count` bytes of `room` arrived.
  void filled(std::int32_t count) { next_ = 0, end_ = count; }
  void take(std::size_t count) {
    next_ += static_cast<std::int32_t>(count);
    if (next_ == end_)
      release();
  }
  void release();

 private:
  unsigned char* storage_ = nullptr;  // a block or `fallback_`, only while bytes are held
  std::size_t capacity_ = 0;
  std::int32_t next_ = 0;
  std::int32_t end_ = 0;
  unsigned char fallback_[16] = {};
};

struct InternetConnectionImpl {
  InternetConnectionImpl(platform::SocketHandle accepted, const platform::SocketAddress& peer);

  bool pollReadable();
  bool pollWritable();
  // Receives what the system has into the empty buffer, without waiting.
  NetworkConnection::Received refill();
  // Waits, 1 ms at a time, until `count` bytes are stored or the connection ends.
  std::int32_t receiveBytes(void* buffer, std::int32_t count);
  std::int32_t sendBytes(const void* data, std::int32_t count);
  void close();
  // Ends the connection: set together with its state, which never returns to open.
  void end(ConnectionState how);

  platform::SocketHandle socket;
  bool closed = false;     // ended: set together with a state of 1, 3 or 4
  bool seenReady = false;  // some poll has found the socket readable or writable
  bool hasWritten = false;
  bool receivingHeldOff = false;
  std::size_t receiveLimit = ~std::size_t{0};  // the most still to receive
  bool inLoop = false;   // a loop's readiness wait watches it under `key`, unless held off
  bool watched = false;  // in the wait now
  std::uintptr_t key = 0;
  ConnectionState state = stateOpen;
  ReceivedBytes received;  // the look-ahead: what peekByte and peekBytes show
  std::uint64_t bytesSent = 0;
  std::uint64_t bytesReceived = 0;
  plinth_string address;
  std::uint16_t port;

 private:
  bool poll(platform::PollDirection direction);
};

}  // namespace plinth
