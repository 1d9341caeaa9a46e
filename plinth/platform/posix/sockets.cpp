#include "plinth/platform/native.h"

// Placeholder until the socket services are built: the socket library does not start.
namespace plinth::platform::native {

int startSockets() { return -1; }
int lastSocketError() { return 0; }
SocketHandle openStreamSocket() { return invalidSocket; }
bool bindAnyAddress(SocketHandle, std::uint16_t) { return false; }
bool listen(SocketHandle) { return false; }
bool localPort(SocketHandle, std::uint16_t*) { return false; }
PollResult poll(SocketHandle, PollDirection) { return {.failed = true}; }
SocketHandle accept(SocketHandle, AddressText*) { return invalidSocket; }
int receive(SocketHandle, void*, int) { return -1; }
int send(SocketHandle, const void*, int) { return -1; }
bool shutdown(SocketHandle, ShutdownDirection) { return false; }
bool setLinger(SocketHandle, std::uint16_t) { return false; }
bool closeSocket(SocketHandle) { return false; }

}  // namespace plinth::platform::native
