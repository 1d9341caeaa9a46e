#include "plinth/platform/posix/readiness.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <vector>

#include "plinth/platform/socket_table.h"

namespace plinth::platform::native::readiness {
namespace {

// Snapshots are numbered; an entry's marks are valid for the snapshot whose number they carry.
struct Watched {
  std::atomic<bool> watched{false};
  std::atomic<std::uint32_t> polledIn{0};  // the snapshot it was last polled in
  std::atomic<std::uint32_t> readyIn{0};   // the snapshot that found it ready
  std::atomic<std::uint32_t> events{0};    // what that snapshot found
};

class Snapshots {
 public:
  void watch(int descriptor) {
    Watched* entry = table_.find(static_cast<SocketHandle>(descriptor));
    if (entry == nullptr) return;
    std::lock_guard<std::mutex> hold(mutex_);
    if (epoll_ < 0) epoll_ = epoll_create1(EPOLL_CLOEXEC);
    epoll_event interest{};
    interest.events = EPOLLIN | EPOLLRDHUP | EPOLLPRI;
    interest.data.fd = descriptor;
    if (epoll_ < 0 || epoll_ctl(epoll_, EPOLL_CTL_ADD, descriptor, &interest) != 0) return;
    // Its first poll takes a fresh snapshot: the current one was taken before it existed.
    entry->polledIn.store(number_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    entry->readyIn.store(0, std::memory_order_relaxed);
    entry->watched.store(true, std::memory_order_release);
    ++watchedCount_;
  }

  void forget(int descriptor) {
    Watched* entry = table_.find(static_cast<SocketHandle>(descriptor));
    if (entry == nullptr || !entry->watched.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> hold(mutex_);
    entry->watched.store(false, std::memory_order_release);
    epoll_ctl(epoll_, EPOLL_CTL_DEL, descriptor, nullptr);
    --watchedCount_;
  }

  void received(int descriptor) {
    if (Watched* entry = table_.find(static_cast<SocketHandle>(descriptor))) {
      entry->readyIn.store(0, std::memory_order_relaxed);
    }
  }

  std::optional<PollResult> pollReadable(int descriptor) {
    Watched* entry = table_.find(static_cast<SocketHandle>(descriptor));
    if (entry == nullptr || !entry->watched.load(std::memory_order_acquire)) return std::nullopt;
    std::uint32_t number = number_.load(std::memory_order_acquire);
    if (entry->polledIn.load(std::memory_order_relaxed) == number) number = take();
    entry->polledIn.store(number, std::memory_order_relaxed);
    if (entry->readyIn.load(std::memory_order_acquire) != number) return PollResult{};
    const std::uint32_t events = entry->events.load(std::memory_order_relaxed);
    // As poll(2) maps them: an ended, reset or failed socket reads as readable (the receive then
    // says what happened); urgent data is the exception condition.
    return PollResult{.exception = (events & EPOLLPRI) != 0,
                      .ready = (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0};
  }

 private:
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
      if (entry == nullptr) continue;
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
};

Snapshots snapshots;

}  // namespace

void watch(int descriptor) { snapshots.watch(descriptor); }
void forget(int descriptor) { snapshots.forget(descriptor); }
void received(int descriptor) { snapshots.received(descriptor); }
std::optional<PollResult> pollReadable(int descriptor) {
  return snapshots.pollReadable(descriptor);
}

}  // namespace plinth::platform::native::readiness
