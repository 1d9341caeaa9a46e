// Readiness on Linux: one level-triggered epoll set holds every watched socket and the read end
// of the stop pipe, so a snapshot of thousands of sockets costs one epoll_wait, and so does a wait.
#include "plinth/platform/posix/readiness.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "plinth/platform/native.h"
#include "plinth/platform/readiness_table.h"

namespace plinth::platform::native {
namespace {

using platform::readiness::table;

int epollSet = -1;
std::size_t watchedCount = 0;
std::vector<epoll_event> ready;

// The stop pipe: the signal handler writes a byte, the wait sees it.
int wakeReader = -1;
int wakeWriter = -1;

bool haveSet() {
  if (epollSet < 0)
    epollSet = epoll_create1(EPOLL_CLOEXEC);
  return epollSet >= 0;
}

// Sockets in the set, which is how many events a snapshot may bring.
bool join(int descriptor) {
  epoll_event interest{};
  interest.events = EPOLLIN | EPOLLRDHUP | EPOLLPRI;
  interest.data.fd = descriptor;
  if (!haveSet() || epoll_ctl(epollSet, EPOLL_CTL_ADD, descriptor, &interest) != 0)
    return false;
  ++watchedCount;
  return true;
}

void leave(int descriptor) {
  if (epollSet >= 0 && epoll_ctl(epollSet, EPOLL_CTL_DEL, descriptor, nullptr) == 0)
    --watchedCount;
}

void drainWakes() {
  char bytes[64];
  while (read(wakeReader, bytes, sizeof bytes) > 0) {
  }
}

}  // namespace

namespace readiness {

// One epoll_wait; what it finds becomes the snapshot.
bool takeSnapshot(int milliseconds) {
  if (!haveSet())
    return false;
  ready.resize(watchedCount + 1);  // every watched socket and the stop pipe
  int count = epoll_wait(epollSet, ready.data(), static_cast<int>(ready.size()), milliseconds);
  if (count < 0 && errno == EINTR) {
    // A signal cut the wait short (a stop request, most likely); what is ready now still counts.
    count = epoll_wait(epollSet, ready.data(), static_cast<int>(ready.size()), 0);
  }
  table.beginSnapshot();
  if (count < 0)
    return false;
  for (int index = 0; index < count; ++index) {
    const int descriptor = ready[index].data.fd;
    if (descriptor == wakeReader) {
      drainWakes();
      continue;
    }
    const std::uint32_t events = ready[index].events;
    // As poll(2) maps them: an ended, reset or failed socket reads as readable (the receive then
    // says what happened); urgent data is the exception condition.
    table.found(static_cast<SocketHandle>(descriptor),
                {.exception = (events & EPOLLPRI) != 0,
                 .ready = (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0});
  }
  return true;
}

void add(int descriptor) {
  if (join(descriptor))
    table.watch(static_cast<SocketHandle>(descriptor));
}

void remove(int descriptor) {
  table.forget(static_cast<SocketHandle>(descriptor));
  leave(descriptor);
}

void received(int descriptor) {
  table.received(static_cast<SocketHandle>(descriptor));
}

void prepareStopWake() {
  int ends[2];
  if (wakeReader >= 0 || pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
    return;
  wakeReader = ends[0];
  wakeWriter = ends[1];
  if (join(wakeReader)) {
    --watchedCount;  // not a socket; the event array has room for it anyway
  } else {
    close(wakeReader);
    close(wakeWriter);
    wakeReader = wakeWriter = -1;
  }
}

void wake() {
  if (wakeWriter < 0)
    return;
  const int saved = errno;  // a signal handler must leave errno as it found it
  const char byte = 0;
  [[maybe_unused]] const ssize_t written = write(wakeWriter, &byte, 1);  // full: already awake
  errno = saved;
}

}  // namespace readiness

void watchSocket(SocketHandle socket, bool watched) {
  const auto descriptor = static_cast<int>(socket);
  if (watched) {
    if (join(descriptor))
      table.watch(socket);
  } else {
    table.forget(socket);
    leave(descriptor);
  }
}

}  // namespace plinth::platform::native
