// A TCP connection as a NetworkConnection, on a socket that never blocks. Every readiness test is
// a zero-time poll and every wait is that poll repeated with 1 ms sleeps, so a caller's thread is
// never held inside the system while data is expected; a loop serving many connections learns of
// their readiness from its own wait instead. Failures of receive, send and close are written to the
// console.
#pragma once

#include <cstdint>

#include "plinth/net/network_connection.h"
#include "plinth/platform/platform.h"
#include "plinth/strings/plinth_string.h"

namespace plinth {

// Bytes per send call.
inline constexpr std::int32_t largestSend = 10240;

struct InternetConnectionImpl;  // plinth/net/internet_connection_impl.h

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
  std::uint16_t getPort() override;
  Read readSome(void* buffer, std::int32_t count) override;
  std::size_t bytesWaiting() override;
  platform::SocketHandle handle() override;

 private:
  InternetConnectionImpl* impl_;
};

}  // namespace plinth
