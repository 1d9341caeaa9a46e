// The stop pipe of the readiness wait, as the stop handler reaches it.
#pragma once

namespace plinth::platform::native::readiness {

// Makes the pipe that a stop request writes to, which every wait watches. Safe to call again.
void prepareStopWake();
// Ends a wait under way, or the next one. Async-signal-safe: the stop signal handler calls it.
void wake();

}  // namespace plinth::platform::native::readiness
