// State kept per socket by the platform layer, found by the socket's number.
#pragma once

#include <cstddef>

#include "plinth/platform/platform.h"

namespace plinth::platform {

// One entry for every socket number below `limit`, in static storage: finding an entry is an index,
// with no lock and no allocation, and the system only gives memory to the pages of entries that are
// used. A socket numbered at or above the limit has no entry, and callers then do without what the
// entry would give: the table is an optimisation, never a requirement. An entry is used by the one
// thread that uses its socket.
template <typename Entry>
class SocketTable {
 public:
  static constexpr std::size_t limit = std::size_t{1} << 20;

  Entry* find(SocketHandle socket) { return socket < limit ? &entries_[socket] : nullptr; }

 private:
  Entry entries_[limit];
};

}  // namespace plinth::platform
