// A TCP connection as a NetworkConnection. Every readiness test is a zero-time poll and every wait
// is that poll repeated with 1 ms sleeps, so a caller's thread is never held inside the system
// while data is expected. Failures of receive, send and close are written to the console.
#pragma once

#include <cstdint>

#include "plinth/net/network_connection.h"
#include "plinth/platform/platform.h"
#include "plinth/strings/plinth_string.h"

namespace plinth {

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
};

class InternetConnection : public NetworkConnection {
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

}  // namespace plinth
