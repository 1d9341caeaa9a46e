// A scripted connection: bytes the test makes "arrive", and an end the test decides.
#pragma once

#include <algorithm>
#include <cstddef>
#include <limits>
#include <string>

#include "plinth/net/network_connection.h"

namespace farspeak {

class FakeConnection : public plinth::NetworkConnection {
 public:
  explicit FakeConnection(std::u16string address = u"10.0.0.7") : address_(std::move(address)) {}

  void arrive(const std::string& bytes) {
    pending_.erase(0, next_);
    next_ = 0;
    pending_ += bytes;
  }
  void end(plinth::ConnectionState how) {
    connected = false;
    state = how;
  }
  // Bytes that have arrived and not been read.
  std::size_t waiting() const { return pending_.size() - next_; }

  bool isConnected() override { return connected; }
  plinth::ConnectionState getState() override { return state; }
  void close() override {}
  int readByte() override {
    const int byte = peekByte();
    if (byte != -1)
      ++next_;
    return byte;
  }
  int peekByte() override {
    ++peeks;
    return waiting() == 0 ? -1 : static_cast<unsigned char>(pending_[next_]);
  }
  std::int64_t read(void*, std::int32_t) override { return 0; }
  bool writeByte(std::uint8_t) override { return false; }
  std::int64_t write(const void*, std::int32_t) override { return 0; }
  std::uint64_t getByteCount() override { return 0; }
  const char16_t* getAddress() override { return address_.c_str(); }
  std::uint16_t getPort() override { return port; }
  Received receiveSome() override {
    return receivingHeldOff || waiting() == 0 ? (connected ? Received::nothingYet : Received::ended)
                                              : Received::bytes;
  }
  std::span<const unsigned char> peekBytes() override {
    ++peeks;
    if (receivingHeldOff)
      return {};
    return {reinterpret_cast<const unsigned char*>(pending_.data()) + next_,
            std::min({waiting(), chunk, receiveLimit})};
  }
  void consume(std::size_t count) override {
    next_ += count;
    if (receiveLimit != std::numeric_limits<std::size_t>::max())
      receiveLimit -= count;
  }
  std::size_t receivedMemory() override { return memory + (receivingHeldOff ? 0 : waiting()); }
  std::uint64_t getReceivedCount() override { return next_; }
  std::size_t bytesWaiting() override { return waiting(); }
  void watch(std::uintptr_t key) override { watchedKey = key; }
  void readyFound(bool) override {}
  void holdOffReceiving(bool heldOff) override { receivingHeldOff = heldOff; }
  void limitReceives(std::size_t bytes) override { receiveLimit = bytes; }

  bool connected = true;
  plinth::ConnectionState state = plinth::stateOpen;
  int peeks = 0;
  bool receivingHeldOff = false;  // nothing arrives while held off
  std::size_t memory = 0;         // what receivedMemory says, beyond the bytes waiting
  std::uintptr_t watchedKey = 0;
  std::size_t receiveLimit = std::numeric_limits<std::size_t>::max();
  std::uint16_t port = 50000;
  // The most that one peekBytes shows, as a socket hands over what it has in pieces.
  std::size_t chunk = std::numeric_limits<std::size_t>::max();

 private:
  std::u16string address_;
  std::string pending_;
  std::size_t next_ = 0;
};

}  // namespace farspeak
