// What the latest readiness snapshot found, kept by socket number: the part of the readiness
// services that is the same on every system. The system calls that take a snapshot and wait are
// in posix/readiness.cpp and win32/readiness.cpp; the snapshot belongs to the loop's one thread.
#pragma once

#include <cstdint>
#include <optional>

#include "plinth/platform/platform.h"
#include "plinth/platform/socket_table.h"

namespace plinth::platform::readiness {

class Table {
 public:
  // Answers for a socket start with the first snapshot taken after it is watched.
  void watch(SocketHandle socket);
  void forget(SocketHandle socket);
  // A receive or an accept may have taken all the socket had: until the next snapshot the system
  // is asked, so that no receive or accept ever waits on the strength of an old answer.
  void received(SocketHandle socket);

  // Taking a snapshot: begin, then what the system found for each ready socket.
  void beginSnapshot() { ++snapshot_; }
  void found(SocketHandle socket, PollResult result);

  // The socket's readability as of the latest snapshot, or nothing when the snapshot cannot say.
  std::optional<PollResult> answer(SocketHandle socket) {
    const Entry* entry = entries_.find(socket);
    if (entry == nullptr || !entry->watched || entry->outdatedIn == snapshot_)
      return std::nullopt;
    return entry->readyIn == snapshot_ ? entry->result : PollResult{};
  }

 private:
  // Snapshots are numbered; an entry's marks hold for the snapshot whose number they carry. 64
  // bits never wrap, so an old mark can never pass for a new one.
  struct Entry {
    bool watched = false;
    PollResult result;
    std::uint64_t readyIn = 0;
    std::uint64_t outdatedIn = 0;
  };

  SocketTable<Entry> entries_;
  std::uint64_t snapshot_ = 1;
};

// The process's table, filled by the system's readiness calls.
extern Table table;

}  // namespace plinth::platform::readiness
