// The stop wake of the readiness wait, as the stop handler reaches it.
#pragma once

namespace plinth::platform::native::readiness {

// Ends a wait under way, or the next one. The console handler, on a thread of its own, calls it.
void wake();

}  // namespace plinth::platform::native::readiness
