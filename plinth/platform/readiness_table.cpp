#include "plinth/platform/readiness_table.h"

#include "plinth/platform/native.h"

namespace plinth::platform::readiness {

Table table;

void Table::watch(SocketHandle socket) {
  if (Entry* entry = entries_.find(socket)) {
    entry->watched = true;
    entry->outdatedIn = snapshot_;
  }
}

void Table::forget(SocketHandle socket) {
  if (Entry* entry = entries_.find(socket))
    entry->watched = false;
}

void Table::received(SocketHandle socket) {
  if (Entry* entry = entries_.find(socket))
    entry->outdatedIn = snapshot_;
}

void Table::found(SocketHandle socket, PollResult result) {
  if (Entry* entry = entries_.find(socket)) {
    entry->readyIn = snapshot_;
    entry->result = result;
  }
}

}  // namespace plinth::platform::readiness

namespace plinth::platform::native {

bool renewReadiness() {
  return native::readiness::takeSnapshot(0);
}

bool waitForReadiness(std::int32_t milliseconds) {
  return native::readiness::takeSnapshot(milliseconds < 0 ? -1 : milliseconds);
}

}  // namespace plinth::platform::native
