// Readability of many sockets for the price of one system call: the sockets the layer opens are
// watched by one epoll set, and a zero-time readability poll is answered from a snapshot of it.
#pragma once

#include <optional>

#include "plinth/platform/platform.h"

namespace plinth::platform::native::readiness {

// Starts and stops watching a socket (at its creation and at its close).
void watch(int descriptor);
void forget(int descriptor);

// A receive may have taken all the socket had: until the next snapshot it no longer reads as
// ready, so that no receive ever waits on the strength of an old answer.
void received(int descriptor);

// The socket's readability as of the current snapshot, or nothing when it is not watched. A
// snapshot is taken when a socket is polled a second time since the last one, so each round of
// polls over the sockets (one pass of a caller's loop) costs one system call however many sockets
// there are, and no answer is more than one round old.
std::optional<PollResult> pollReadable(int descriptor);

}  // namespace plinth::platform::native::readiness
