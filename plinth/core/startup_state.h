// The library's process-wide objects. They are set up before the entry point runs, in the order
// they are declared here, and torn down in the reverse order after it returns. Apart from
// "wsaMutex" nothing in this program uses them after start-up; the library keeps them for its
// other users.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "plinth/core/counted_ref.h"
#include "plinth/core/mutex.h"

namespace plinth {

struct RandomState {
  std::uint32_t words[4];
  std::uint64_t fields[2];
};

// The four words are low, high, low XOR high and low + high of the counter; the fields are 0.
RandomState seedRandomState(std::uint64_t timeStampCounter);

// An owned block of bytes with its size and capacity.
class DataBuffer {
 public:
  DataBuffer() = default;
  explicit DataBuffer(std::size_t n) { resize(n); }
  ~DataBuffer() { resize(0); }
  DataBuffer(const DataBuffer&) = delete;
  DataBuffer& operator=(const DataBuffer&) = delete;

  // Keeps the first min(n, size) bytes. A new block is taken when n grows past the size or falls
  // below half the capacity; 0 releases everything. Throws std::bad_alloc.
  void resize(std::size_t n);

  std::uint32_t flags = 0;
  unsigned char* data = nullptr;
  unsigned char* end = nullptr;
  std::uint64_t size = 0;
  std::uint64_t capacity = 0;
};

// Any counted object the library's containers hold.
class CountedObject : public Refcountable {
 public:
  virtual ~CountedObject() = default;
};

// A worker thread's state, as the worker and its handles share it.
struct WorkerControl {
  std::atomic<std::uint8_t> stopRequest{0};
};
struct WorkerRecord {
  WorkerControl* control = nullptr;
  std::atomic<std::uint8_t> running{0};  // nonzero while the worker runs
};
struct WorkerHandle {
  std::int32_t holders = 0;
  WorkerRecord* worker = nullptr;
};

// Drops one holder of the handle in `slot`. The last one asks a running worker to stop, waits for
// it 10 ms at a time without limit, and frees the worker record and the handle. The slot is
// emptied in every case.
void releaseWorkerHandle(WorkerHandle*& slot);

using CountedQueue = std::deque<CountedRef<CountedObject>>;

// The worker handles and the shared objects, torn down together: workers first.
struct WorkerRegistry {
  WorkerRegistry();
  ~WorkerRegistry();

  std::vector<WorkerHandle*> workerHandles;
  std::vector<CountedRef<CountedObject>> sharedObjects;  // room for 64 from the start
};

extern RandomState randomState;
extern Mutex processTrackerMutex;
extern DataBuffer scratchBuffer;  // 131072 bytes
extern Mutex dataCopyMutex;
extern CountedQueue countedQueue;
extern std::vector<CountedQueue> countedQueueList;
extern WorkerRegistry workerRegistry;
extern Mutex win32InternetMutex;
extern Mutex wsaMutex;  // serialises the socket library's start-up

}  // namespace plinth
