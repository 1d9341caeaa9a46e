// Readiness on Linux: a level-triggered epoll set per loop, each socket's watcher as its event's
// data; a look at thousands of sockets costs one epoll_wait, and so does a wait.
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

#include "plinth/platform/native.h"

namespace plinth::platform::native {
namespace {

struct EpollSet {
  int descriptor = -1;
  std::size_t watched = 0;  // how many events one wait may bring
  std::vector<epoll_event> events;
};

EpollSet& setOf(ReadinessSet set) {
  return *static_cast<EpollSet*>(set);
}

int descriptorOf(SocketHandle socket) {
  return socket > static_cast<SocketHandle>(INT_MAX) ? -1 : static_cast<int>(socket);
}

}  // namespace

ReadinessSet openReadinessSet() {
  const int descriptor = epoll_create1(EPOLL_CLOEXEC);
  if (descriptor < 0)
    return nullptr;
  auto* set = new EpollSet;
  set->descriptor = descriptor;
  return set;
}

void closeReadinessSet(ReadinessSet set) {
  close(setOf(set).descriptor);
  delete &setOf(set);
}

bool watchSocket(ReadinessSet set, SocketHandle socket, void* watcher) {
  EpollSet& epoll = setOf(set);
  epoll_event interest{};
  interest.events = EPOLLIN | EPOLLRDHUP;
  interest.data.ptr = watcher;
  const int descriptor = descriptorOf(socket);
  if (epoll_ctl(epoll.descriptor, EPOLL_CTL_ADD, descriptor, &interest) == 0) {
    ++epoll.watched;
    return true;
  }
  return errno == EEXIST && epoll_ctl(epoll.descriptor, EPOLL_CTL_MOD, descriptor, &interest) == 0;
}

void unwatchSocket(ReadinessSet set, SocketHandle socket) {
  EpollSet& epoll = setOf(set);
  if (epoll_ctl(epoll.descriptor, EPOLL_CTL_DEL, descriptorOf(socket), nullptr) == 0)
    --epoll.watched;
}

bool waitForReadiness(ReadinessSet set, std::int32_t milliseconds,
                      std::vector<ReadyWatcher>& ready) {
  EpollSet& epoll = setOf(set);
  ready.clear();
  epoll.events.resize(epoll.watched + 1);
  const int size = static_cast<int>(epoll.events.size());
  int count =
      epoll_wait(epoll.descriptor, epoll.events.data(), size, milliseconds < 0 ? -1 : milliseconds);
  if (count < 0 && errno == EINTR) {
    // A signal cut the wait short (a stop request, most likely); what is ready now still counts.
    count = epoll_wait(epoll.descriptor, epoll.events.data(), size, 0);
  }
  if (count < 0)
    return false;
  // As poll(2) maps them, an ended, reset or failed socket reads as readable: the receive then
  // says what happened.
  for (int index = 0; index < count; ++index) {
    const std::uint32_t found = epoll.events[index].events;
    ready.push_back(
        {epoll.events[index].data.ptr, (found & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0});
  }
  return true;
}

}  // namespace plinth::platform::native
