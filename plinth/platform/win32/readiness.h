// The WSAPoll set behind the readiness services, as the other Windows services reach it.
#pragma once

#include "plinth/platform/platform.h"

namespace plinth::platform::native::readiness {

// A listening or accepted socket joins the set (listen, accept); a closed one leaves it.
void add(SocketHandle socket);
void remove(SocketHandle socket);
// A receive or an accept on the socket: its snapshot answer no longer holds.
void received(SocketHandle socket);

// Ends a wait under way, or the next one. The console handler, on a thread of its own, calls it.
void wake();

}  // namespace plinth::platform::native::readiness
