// The socket library's one start-up, and the host's names.
#pragma once

#include "plinth/strings/plinth_string.h"

namespace plinth {

// Starts the socket library on first demand, exactly once per process, under "wsaMutex"; every
// later call gets the same answer. A failure is reported once and never retried.
bool startSockets();

// The host name, computed once it succeeds and kept until exit; empty text while unavailable.
const char16_t* getHostName();

// The computer name, or "unknown" when the system cannot say; computed once.
const plinth_string& getComputerName();

}  // namespace plinth
