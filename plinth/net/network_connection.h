// A two-way byte stream to one remote peer, held through counted references.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plinth/core/counted_ref.h"
#include "plinth/platform/platform.h"

namespace plinth {

// How a connection ended. It never returns to stateOpen.
using ConnectionState = std::int32_t;
inline constexpr ConnectionState stateOpen = 0;
inline constexpr ConnectionState statePollFailed = 1;    // a readiness poll failed
inline constexpr ConnectionState stateSocketError = 3;   // a failed receive, send or close
inline constexpr ConnectionState stateClosedByPeer = 4;  // end of stream, in order

// One connection is used by one thread at a time. Text is zero-terminated UTF-16.
class NetworkConnection : public Refcountable {
 public:
  virtual ~NetworkConnection() = default;

  // False once the connection has ended. Never blocks.
  virtual bool isConnected() = 0;
  virtual ConnectionState getState() = 0;
  // Ends the stream and releases the socket; a second call does nothing.
  virtual void close() = 0;
  // The held-back byte if there is one; otherwise waits for one byte. -1 when the connection ends.
  virtual int readByte() = 0;
  // Never waits: the held-back byte, or one received now and held back, or -1 when nothing is
  // there (still connected) or the connection has just ended.
  virtual int peekByte() = 0;
  // Waits until `count` bytes are stored or the connection ends; returns the bytes stored.
  virtual std::int64_t read(void* buffer, std::int32_t count) = 0;
  virtual bool writeByte(std::uint8_t byte) = 0;
  // Sends every byte unless the connection ends; returns the bytes sent.
  virtual std::int64_t write(const void* data, std::int32_t count) = 0;
  // Bytes sent over the connection's life.
  virtual std::uint64_t getByteCount() = 0;
  // The peer's address as text ("192.168.1.7", "::1"), fixed at acceptance, owned by the
  // connection.
  virtual const char16_t* getAddress() = 0;
  // The peer's port, fixed at acceptance.
  virtual std::uint16_t getPort() = 0;

  // For a loop that serves many connections on one thread; nothing here waits.
  // What one read gave: `count` bytes, nothing yet, or the end of the connection (getState then
  // says how it ended).
  struct Read {
    enum Kind { bytes, nothingYet, ended } kind = nothingYet;
    std::int32_t count = 0;
  };
  // Receives what the system has, up to `count` bytes (at least 1), into `buffer`.
  virtual Read readSome(void* buffer, std::int32_t count) = 0;
  // Bytes that have arrived and wait in the system; 0 when unknown.
  virtual std::size_t bytesWaiting() = 0;
  // What a loop watches to learn that the connection has something to say; invalidSocket when
  // there is nothing to watch.
  virtual platform::SocketHandle handle() = 0;
};

}  // namespace plinth
