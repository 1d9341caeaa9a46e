// Readability of many sockets for the price of one system call: the sockets the layer opens are
// watched by one epoll set, and a zero-time readability poll is answered from a snapshot of it.
#pragma once

#include <optional>

#include "plinth/platform/platform.h"

namespace plinth::platform::native::readiness {

// Starts and stops watching a socket (at its creation and at its close).
void watch(int descriptor);
void forget(int descriptor);

// A receive (or an accept) may have taken all the socket had: until the next snapshot its polls
// go to the system, so that no receive or accept ever waits on the strength of an old answer.
void received(int descriptor);

// The socket's readability as of the current snapshot, or nothing when the snapshot cannot say
// (the socket is not watched, or is newer than the snapshot, or has been read since). A
// snapshot is taken when a socket is polled a second time since the last one (a new round of polls,
// such as one pass of a caller's loop), at most once every 100 microseconds, so a round costs one
// system call however many sockets there are. Polls that are a loop on one socket start none: a
// socket found ready stays ready until it is read, and the first poll after a receive or accept
// goes to the system anyway.
std::optional<PollResult> pollReadable(int descriptor);

// Waits until a watched socket is ready or `milliseconds` have passed.
void waitForAny(std::uint32_t milliseconds);

}  // namespace plinth::platform::native::readiness
