#include "plinth/platform/posix/readiness.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <vector>

#include "plinth/platform/posix/monotonic.h"
#include "plinth/platform/socket_table.h"

namespace plinth::platform::native::readiness {
namespace {

constexpr std::int64_t renewalInterval = 100'000;  // nanoseconds

// Snapshots are numbered; an entry's marks are valid for the snapshot whose number they carry.
struct Watched {
  std::atomic<bool> watched{false};
  std::atomic<std::uint32_t> polledIn{0};  // the snapshot it was last polled in
  std::atomic<std::uint32_t> readyIn{0};   // the snapshot that found it ready
  std::atomic<std::uint32_t> events{0};    // what that snapshot found
  // A snapshot that cannot speak for it: taken before it existed, or before a receive or accept
  // that may have taken all it had. Its polls go to the system until the next snapshot.
  std::atomic<std::uint32_t> outdatedIn{0};
  std::atomic<bool> polledSinceOutdated{false};
};

class Snapshots {
 public:
  void watch(int descriptor) {
    Watched* entry = table_.find(static_cast<SocketHandle>(descriptor));
    if (entry == nullptr)
      return;
    std::lock_guard<std::mutex> hold(mutex_);
    if (epoll_ < 0)
      epoll_ = epoll_create1(EPOLL_CLOEXEC);
    epoll_event interest{};
    interest.events = EPOLLIN | EPOLLRDHUP | EPOLLPRI;
    interest.data.fd = descriptor;
    if (epoll_ < 0 || epoll_ctl(epoll_, EPOLL_CTL_ADD, descriptor, &interest) != 0)
      return;
    entry->polledIn.store(0, std::memory_order_relaxed);
    entry->readyIn.store(0, std::memory_order_relaxed);
    entry->outdatedIn.store(number_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    entry->polledSinceOutdated.store(false, std::memory_order_relaxed);
    entry->watched.store(true, std::memory_order_release);
    ++watchedCount_;
  }

  void forget(int descriptor) {
    Watched* entry = table_.find(static_cast<SocketHandle>(descriptor));
    if (entry == nullptr || !entry->watched.load(std::memory_order_acquire))
      return;
    std::lock_guard<std::mutex> hold(mutex_);
    entry->watched.store(false, std::memory_order_release);
    epoll_ctl(epoll_, EPOLL_CTL_DEL, descriptor, nullptr);
    --watchedCount_;
  }

  void received(int descriptor) {
    if (Watched* entry = table_.find(static_cast<SocketHandle>(descriptor))) {
      entry->outdatedIn.store(number_.load(std::memory_order_acquire), std::memory_order_relaxed);
      entry->polledSinceOutdated.store(false, std::memory_order_relaxed);
    }
  }

  std::optional<PollResult> pollReadable(int descriptor) {
    Watched* entry = table_.find(static_cast<SocketHandle>(descriptor));
    if (entry == nullptr || !entry->watched.load(std::memory_order_acquire))
      return std::nullopt;
    std::uint32_t number = number_.load(std::memory_order_acquire);
    // Polled again in the same snapshot is a new round, and renews the snapshot, unless it is a
    // loop on this one socket: the snapshot found it ready and nothing has read it since (the poll
    // before its receive), or this is its first poll since a receive or accept, which the system
    // answers anyway (an accept loop). With thousands of sockets ready, renewing for those would
    // walk them all once per turn.
    const bool loopOnOne =
        entry->outdatedIn.load(std::memory_order_relaxed) == number
            ? !entry->polledSinceOutdated.exchange(true, std::memory_order_relaxed)
            : entry->readyIn.load(std::memory_order_acquire) == number;
    if (entry->polledIn.load(std::memory_order_relaxed) == number && !loopOnOne && renewalDue())
      number = take();
    entry->polledIn.store(number, std::memory_order_relaxed);
    if (entry->outdatedIn.load(std::memory_order_relaxed) == number)
      return std::nullopt;
    if (entry->readyIn.load(std::memory_order_acquire) != number)
      return PollResult{};
    const std::uint32_t events = entry->events.load(std::memory_order_relaxed);
    // As poll(2) maps them: an ended, reset or failed socket reads as readable (the receive then
    // says what happened); urgent data is the exception condition.
    return PollResult{.exception = (events & EPOLLPRI) != 0,
                      .ready = (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0};
  }

  void waitForAny(std::uint32_t milliseconds) {
    int epoll = -1;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      epoll = epoll_;
    }
    epoll_event event{};
    // Level-triggered and not consumed: the next snapshot still sees what woke this wait.
    if (epoll >= 0)
      epoll_wait(epoll, &event, 1, static_cast<int>(milliseconds));
  }

 private:
  // A new round of polls renews the snapshot, but not sooner than `renewalInterval` after the last:
  // under load a round takes a microsecond or two, and renewing every round would double the system
  // calls per line. No answer is older than a round or the interval, whichever is longer.
  bool renewalDue() {
    const std::int64_t now = monotonicNanoseconds();
    if (now - lastRenewal_.load(std::memory_order_relaxed) < renewalInterval)
      return false;
    lastRenewal_.store(now, std::memory_order_relaxed);
    return true;
  }

  // Takes a snapshot and returns its number.
  std::uint32_t take() {
    std::lock_guard<std::mutex> hold(mutex_);
    const std::uint32_t number = number_.load(std::memory_order_relaxed) + 1;
    ready_.resize(watchedCount_ > 0 ? watchedCount_ : 1);
    int count = 0;
    do {
      count = epoll_wait(epoll_, ready_.data(), static_cast<int>(ready_.size()), 0);
    } while (count < 0 && errno == EINTR);
    for (int i = 0; i < count; ++i) {
      Watched* entry = table_.find(static_cast<SocketHandle>(ready_[i].data.fd));
      if (entry == nullptr)
        continue;
      entry->events.store(ready_[i].events, std::memory_order_relaxed);
      entry->readyIn.store(number, std::memory_order_release);
    }
    number_.store(number, std::memory_order_release);
    return number;
  }

  static inline SocketTable<Watched> table_;
  std::mutex mutex_;  // registration and snapshots; answers take no lock
  int epoll_ = -1;
  std::size_t watchedCount_ = 0;
  std::vector<epoll_event> ready_;
  std::atomic<std::uint32_t> number_{1};
  std::atomic<std::int64_t> lastRenewal_{0};
};

Snapshots snapshots;

}  // namespace

void watch(int descriptor) {
  snapshots.watch(descriptor);
}
void forget(int descriptor) {
  snapshots.forget(descriptor);
}
void received(int descriptor) {
  snapshots.received(descriptor);
}
std::optional<PollResult> pollReadable(int descriptor) {
  return snapshots.pollReadable(descriptor);
}
void waitForAny(std::uint32_t milliseconds) {
  snapshots.waitForAny(milliseconds);
}

}  // namespace plinth::platform::native::readiness
