// The table a poll-style readiness set keeps (poll(2) on POSIX, WSAPoll on Windows): one array of
// entries that the system call takes as it is, the watcher of each entry at the same index, and
// where each socket's entry is. Unwatching moves the last entry into the gap.
#pragma once

#include <cstddef>
#include <unordered_map>
#include <vector>

#include "plinth/platform/platform.h"

namespace plinth::platform {

template <typename Entry, typename Socket>
struct PollSlots {
  std::vector<Entry> polled;
  std::vector<void*> watchers;
  std::unordered_map<Socket, std::size_t> slotOf;

  void watch(Socket socket, short events, void* watcher) {
    if (const auto found = slotOf.find(socket); found != slotOf.end()) {
      watchers[found->second] = watcher;
      return;
    }
    slotOf[socket] = polled.size();
    polled.push_back(Entry{socket, events, 0});
    watchers.push_back(watcher);
  }

  void unwatch(Socket socket) {
    const auto found = slotOf.find(socket);
    if (found == slotOf.end())
      return;
    const std::size_t slot = found->second;
    slotOf.erase(found);
    if (slot + 1 < polled.size()) {
      polled[slot] = polled.back();
      watchers[slot] = watchers.back();
      slotOf[polled[slot].fd] = slot;
    }
    polled.pop_back();
    watchers.pop_back();
  }

  // After the system call found `count` entries with events: their watchers, ended when one of
  // the `ends` events came.
  void collect(int count, short ends, std::vector<ReadyWatcher>& ready) const {
    for (std::size_t slot = 0; count > 0 && slot < polled.size(); ++slot) {
      if (polled[slot].revents != 0) {
        ready.push_back({watchers[slot], (polled[slot].revents & ends) != 0});
        --count;
      }
    }
  }
};

}  // namespace plinth::platform
