// A raw socket for tests, closed however the test ends. It is made and closed with the real
// services, so that a service a test replaces only ever sees the library's own calls.
#pragma once

#include "plinth/platform/platform.h"

namespace test_support {

class Socket {
 public:
  explicit Socket(plinth::platform::SocketHandle handle = plinth::platform::invalidSocket)
      : handle_(handle) {}
  ~Socket() { close(); }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  Socket& operator=(Socket&& other) noexcept {
    if (this != &other) {
      close();
      handle_ = other.handle_;
      other.handle_ = plinth::platform::invalidSocket;
    }
    return *this;
  }

  plinth::platform::SocketHandle get() const { return handle_; }
  void close() {
    if (handle_ != plinth::platform::invalidSocket)
      plinth::platform::realServices().closeSocket(handle_);
    handle_ = plinth::platform::invalidSocket;
  }

 private:
  plinth::platform::SocketHandle handle_;
};

// Connects a client socket to `address`, waiting as a blocking connect does.
bool connectTo(plinth::platform::SocketHandle socket,
               const plinth::platform::SocketAddress& address);

}  // namespace test_support
