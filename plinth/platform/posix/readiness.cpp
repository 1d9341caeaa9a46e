// Readiness with poll(2) alone, for a POSIX system without epoll (the build's choice on Linux, so
// that it stays true): the table of every watched socket goes to the system each time.
#include <poll.h>

#include <cerrno>
#include <climits>

#include "plinth/platform/native.h"
#include "plinth/platform/poll_slots.h"

namespace plinth::platform::native {
namespace {

using PollSet = PollSlots<pollfd, int>;

// POSIX tells an end only once both directions are closed; where the system tells more (Linux's
// POLLRDHUP), a peer that has ended its stream shows at once.
#ifdef POLLRDHUP
constexpr short peerEnded = POLLRDHUP;
#else
constexpr short peerEnded = 0;
#endif

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
  if (socket > static_cast<SocketHandle>(INT_MAX))
    return false;
  setOf(set).watch(static_cast<int>(socket), POLLIN | peerEnded, watcher);
  return true;
}

void unwatchSocket(ReadinessSet set, SocketHandle socket) {
  if (socket <= static_cast<SocketHandle>(INT_MAX))
    setOf(set).unwatch(static_cast<int>(socket));
}

bool waitForReadiness(ReadinessSet set, std::int32_t milliseconds,
                      std::vector<ReadyWatcher>& ready) {
  PollSet& table = setOf(set);
  ready.clear();
  const auto size = static_cast<nfds_t>(table.polled.size());
  int count = ::poll(table.polled.data(), size, milliseconds < 0 ? -1 : milliseconds);
  if (count < 0 && errno == EINTR)  // a stop request, most likely: what is ready now still counts
    count = ::poll(table.polled.data(), size, 0);
  if (count < 0)
    return false;
  table.collect(count, POLLHUP | POLLERR | peerEnded, ready);  // receive says what an end was
  return true;
}

}  // namespace plinth::platform::native
