// Readiness on Linux: one level-triggered epoll set holds every watched socket, with its key as the
// event's data, and the read end of the stop pipe; a look at thousands of sockets costs one
// epoll_wait, and so does a wait.
#include "plinth/platform/posix/readiness.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

#include "plinth/platform/native.h"

namespace plinth::platform::native {
namespace {

constexpr std::uint64_t wakeKey = ~std::uint64_t{0};  // the stop pipe's

int epollSet = -1;
std::size_t watchedCount = 0;  // how many events one wait may bring, less the stop pipe's
std::vector<epoll_event> events;

// The stop pipe: the signal handler writes a byte, the wait sees it.
int wakeReader = -1;
int wakeWriter = -1;

bool haveSet() {
  if (epollSet < 0)
    epollSet = epoll_create1(EPOLL_CLOEXEC);
  return epollSet >= 0;
}

int descriptorOf(SocketHandle socket) {
  return socket > static_cast<SocketHandle>(INT_MAX) ? -1 : static_cast<int>(socket);
}

void drainWakes() {
  char bytes[64];
  while (read(wakeReader, bytes, sizeof bytes) > 0) {
  }
}

}  // namespace

bool watchSocket(SocketHandle socket, std::uintptr_t key) {
  epoll_event interest{};
  interest.events = EPOLLIN | EPOLLRDHUP | EPOLLPRI;
  interest.data.u64 = key;
  const int descriptor = descriptorOf(socket);
  if (!haveSet())
    return false;
  if (epoll_ctl(epollSet, EPOLL_CTL_ADD, descriptor, &interest) == 0) {
    ++watchedCount;
    return true;
  }
  return errno == EEXIST && epoll_ctl(epollSet, EPOLL_CTL_MOD, descriptor, &interest) == 0;
}

void unwatchSocket(SocketHandle socket) {
  if (epollSet >= 0 && epoll_ctl(epollSet, EPOLL_CTL_DEL, descriptorOf(socket), nullptr) == 0)
    --watchedCount;
}

bool waitForReadiness(std::int32_t milliseconds, std::vector<ReadySocket>& ready) {
  ready.clear();
  if (!haveSet())
    return false;
  events.resize(watchedCount + 1);
  const int size = static_cast<int>(events.size());
  const int limit = milliseconds < 0 ? -1 : milliseconds;
  int count = epoll_wait(epollSet, events.data(), size, limit);
  if (count < 0 && errno == EINTR) {
    // A signal cut the wait short (a stop request, most likely); what is ready now still counts.
    count = epoll_wait(epollSet, events.data(), size, 0);
  }
  if (count < 0)
    return false;
  for (int index = 0; index < count; ++index) {
    if (events[index].data.u64 == wakeKey) {
      drainWakes();
      continue;
    }
    const std::uint32_t found = events[index].events;
    // As poll(2) maps them: an ended, reset or failed socket reads as readable (the receive then
    // says what happened); urgent data is the exception condition.
    ready.push_back({.key = static_cast<std::uintptr_t>(events[index].data.u64),
                     .exception = (found & EPOLLPRI) != 0,
                     .ready = (found & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0});
  }
  return true;
}

namespace readiness {

void prepareStopWake() {
  int ends[2];
  if (wakeReader >= 0 || !haveSet() || pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
    return;
  epoll_event interest{};
  interest.events = EPOLLIN;
  interest.data.u64 = wakeKey;
  if (epoll_ctl(epollSet, EPOLL_CTL_ADD, ends[0], &interest) != 0) {
    close(ends[0]);
    close(ends[1]);
    return;
  }
  wakeReader = ends[0];
  wakeWriter = ends[1];
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
}  // namespace plinth::platform::native
