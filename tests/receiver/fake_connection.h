// A scripted connection: bytes the test makes "arrive", and an end the test decides.
#pragma once

#include <deque>
#include <string>

#include "plinth/net/network_connection.h"

namespace farspeak {

class FakeConnection : public plinth::NetworkConnection {
 public:
  explicit FakeConnection(std::u16string address = u"10.0.0.7") : address_(std::move(address)) {}

  void arrive(const std::string& bytes) {
    pending.insert(pending.end(), bytes.begin(), bytes.end());
  }
  void end(plinth::ConnectionState how) {
    connected = false;
    state = how;
  }

  bool isConnected() override { return connected; }
  plinth::ConnectionState getState() override { return state; }
  void close() override {}
  int readByte() override {
    const int byte = peekByte();
    if (byte != -1)
      pending.pop_front();
    return byte;
  }
  int peekByte() override {
    ++peeks;
    return pending.empty() ? -1 : static_cast<unsigned char>(pending.front());
  }
  std::int64_t read(void*, std::int32_t) override { return 0; }
  bool writeByte(std::uint8_t) override { return false; }
  std::int64_t write(const void*, std::int32_t) override { return 0; }
  std::uint64_t getByteCount() override { return 0; }
  const char16_t* getAddress() override { return address_.c_str(); }

  std::deque<char> pending;
  bool connected = true;
  plinth::ConnectionState state = plinth::stateOpen;
  int peeks = 0;

 private:
  std::u16string address_;
};

}  // namespace farspeak
