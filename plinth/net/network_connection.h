// A two-way byte stream to one remote peer, held through counted references.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "plinth/core/counted_ref.h"

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

  // Reading in bulk, for a loop that serves many connections on one thread; nothing here waits.
  enum class Received { bytes, nothingYet, ended };
  // Receives what the system has into the connection's buffer, which must be empty: bytes,
  // nothing yet, or the end of the connection, whose state then says how it ended.
  virtual Received receiveSome() = 0;
  // The bytes received and not yet consumed, after receiveSome if there were none (and receiving is
  // not held off); empty when nothing is there or the connection has just ended.
  virtual std::span<const unsigned char> peekBytes() = 0;
  // Takes the first `count` bytes of the last peekBytes, which must have shown them.
  virtual void consume(std::size_t count) = 0;
  // The memory that bytes received and not yet consumed take: 0 when there are none.
  virtual std::size_t receivedMemory() = 0;
  // Bytes received over the connection's life, and those that have arrived and wait in the system:
  // together, what has arrived so far.
  virtual std::uint64_t getReceivedCount() = 0;
  virtual std::size_t bytesWaiting() = 0;
  // Joins the loop's readiness wait, which hands `key` back when the connection has something to
  // say. Closing the connection leaves the wait.
  virtual void watch(std::uintptr_t key) = 0;
  // The wait found the connection ready; an exception condition (urgent data, which comes in the
  // stream) is only more to read.
  virtual void readyFound(bool exception) = 0;
  // Holds off receiving, or takes it up again: while held off, the connection is out of the wait
  // and peekBytes shows only what was received before; what the peer sends waits in the system,
  // whose flow control slows it.
  virtual void holdOffReceiving(bool heldOff) = 0;
  // Receives at most `bytes` more, until the limit is set again (the largest value lifts it): a
  // short line still passes when memory is short, in as little memory.
  virtual void limitReceives(std::size_t bytes) = 0;
};

}  // namespace plinth
