// Readiness on Windows: one WSAPoll over every socket a loop watches, so that a look at many
// sockets costs one call, and so does a wait.
#include <winsock2.h>

#include "plinth/platform/native.h"
#include "plinth/platform/poll_slots.h"

namespace plinth::platform::native {
namespace {

using PollSet = PollSlots<WSAPOLLFD, SOCKET>;

// WSAPoll refuses POLLPRI; urgent data, which accepted sockets take in their stream, shows as
// POLLRDBAND.
constexpr short interest = POLLRDNORM | POLLRDBAND;

PollSet& setOf(ReadinessSet set) {
  return *static_cast<PollSet*>(set);
}

}  // namespace

ReadinessSet openReadinessSet() {
  return new PollSet;
}

void closeReadinessSet(ReadinessSet set) {
  delete &setOf(set);
}

bool watchSocket(ReadinessSet set, SocketHandle socket, void* watcher) {
  setOf(set).watch(static_cast<SOCKET>(socket), interest, watcher);
  return true;
}

void unwatchSocket(ReadinessSet set, SocketHandle socket) {
  setOf(set).unwatch(static_cast<SOCKET>(socket));
}

bool waitForReadiness(ReadinessSet set, std::int32_t milliseconds,
                      std::vector<ReadyWatcher>& ready) {
  PollSet& table = setOf(set);
  ready.clear();
  if (table.polled.empty()) {  // WSAPoll refuses an empty set
    Sleep(milliseconds < 0 ? 100 : static_cast<DWORD>(milliseconds));
    return true;
  }
  const int count =
      WSAPoll(table.polled.data(), static_cast<ULONG>(table.polled.size()), milliseconds);
  if (count == SOCKET_ERROR)
    return false;
  // As select reports them, an ended, reset or failed socket reads as readable: the receive then
  // says what happened.
  table.collect(count, POLLHUP | POLLERR, ready);
  return true;
}

}  // namespace plinth::platform::native
