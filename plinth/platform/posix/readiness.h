// The epoll set behind the readiness services, as the other POSIX services reach it.
#pragma once

namespace plinth::platform::native::readiness {

// A listening or accepted socket joins the set (listen, accept); a closed one leaves it.
void add(int descriptor);
void remove(int descriptor);
// A receive or an accept on the socket: its snapshot answer no longer holds.
void received(int descriptor);

// Makes the pipe that a stop request writes to, which every wait watches. Safe to call again.
void prepareStopWake();
// Ends a wait under way, or the next one. Async-signal-safe: the stop signal handler calls it.
void wake();

}  // namespace plinth::platform::native::readiness
