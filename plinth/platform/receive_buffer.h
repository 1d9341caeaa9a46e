// The socket receive path as the library uses it: buffered above the system's receive.
//
// Callers receive a byte at a time, each after a zero-time readiness poll. Asking the system for
// every byte would cost two system calls a byte, so a receive into an empty buffer takes what the
// system has (up to one block) and keeps the rest; later receives are served from it, and a
// readability poll of a socket with bytes held answers at once. End of stream and errors are
// reported only once every held byte has been handed out, in the order the system reported them.
// Memory is held only while bytes are: an idle socket costs a few bytes.
//
// The buffer sits above the services table, so a test that replaces the system's poll or receive
// still goes through it. The held-bytes checks are inline: they run for every byte received.
#pragma once

#include "plinth/platform/platform.h"
#include "plinth/platform/socket_table.h"

namespace plinth::platform::buffered {

struct HeldBytes {
  unsigned char* block = nullptr;  // only while bytes are held
  int next = 0;
  int end = 0;
};

extern SocketTable<HeldBytes> heldBytes;

// Hands the block back once it is empty.
void releaseBlock(HeldBytes& held);
// A receive into an empty buffer: one system receive of up to a block.
int refill(SocketHandle socket, HeldBytes* held, void* buffer, int count);

inline PollResult poll(SocketHandle socket, PollDirection direction) {
  if (direction == PollDirection::readable) {
    const HeldBytes* held = heldBytes.find(socket);
    if (held != nullptr && held->next < held->end)
      return {.ready = true};
  }
  return services.poll(socket, direction);
}

inline int receive(SocketHandle socket, void* buffer, int count) {
  HeldBytes* held = heldBytes.find(socket);
  if (held == nullptr || held->next == held->end)
    return refill(socket, held, buffer, count);
  const int available = held->end - held->next;
  const int taken = count < available ? count : available;
  auto* out = static_cast<unsigned char*>(buffer);
  const unsigned char* in = held->block + held->next;
  for (int i = 0; i < taken; ++i)
    out[i] = in[i];
  held->next += taken;
  if (held->next == held->end)
    releaseBlock(*held);
  return taken;
}

// Drops what is held (a socket opened later under the same number must not inherit it), then
// closes the socket.
bool closeSocket(SocketHandle socket);

}  // namespace plinth::platform::buffered
