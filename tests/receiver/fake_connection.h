// A scripted connection: bytes the test makes "arrive", and an end the test decides.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
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
    return waiting() == 0 ? -1 : static_cast<unsigned char>(pending_[next_]);
  }
  std::int64_t read(void*, std::int32_t) override { return 0; }
  bool writeByte(std::uint8_t) override { return false; }
  std::int64_t write(const void*, std::int32_t) override { return 0; }
  std::uint64_t getByteCount() override { return 0; }
  const char16_t* getAddress() override { return address_.c_str(); }
  std::uint16_t getPort() override { return port; }
  Read readSome(void* buffer, std::int32_t count) override {
    ++reads;
    if (waiting() == 0)
      return {connected ? Read::nothingYet : Read::ended};
    const std::size_t taken = std::min({waiting(), chunk, static_cast<std::size_t>(count)});
    std::memcpy(buffer, pending_.data() + next_, taken);
    next_ += taken;
    return {Read::bytes, static_cast<std::int32_t>(taken)};
  }
  std::size_t bytesWaiting() override { return waiting(); }
  plinth::platform::SocketHandle handle() override { return plinth::platform::invalidSocket; }

  bool connected = true;
  plinth::ConnectionState state = plinth::stateOpen;
  int reads = 0;
  std::uint16_t port = 50000;
  // The most that one read gives, as a socket hands over what it has in pieces.
  std::size_t chunk = std::numeric_limits<std::size_t>::max();

 private:
  std::u16string address_;
  std::string pending_;
  std::size_t next_ = 0;
};

}  // namespace farspeak
