#include <winsock2.h>
#include <ws2tcpip.h>

#include "plinth/platform/bsd_addresses.h"
#include "tests/support/socket.h"

namespace test_support {

bool connectTo(plinth::platform::SocketHandle socket,
               const plinth::platform::SocketAddress& address) {
  sockaddr_storage system;
  const int length = plinth::platform::native::systemAddress(address, system);
  return ::connect(static_cast<SOCKET>(socket), reinterpret_cast<const sockaddr*>(&system),
                   length) == 0;
}

}  // namespace test_support
