// The library's lock for code that may hold it a long time: recursive for its owner, free of
// kernel calls when uncontended, and parking waiters on an auto-reset event. A thread that has
// waited a whole second is told so on the console, with the mutex's name, every further second.
#pragma once

#include <atomic>
#include <cstdint>

#include "plinth/platform/platform.h"
#include "plinth/strings/plinth_string.h"

namespace plinth {

struct MutexImpl {
  explicit MutexImpl(const char16_t* name);
  ~MutexImpl();

  plinth_string name;                      // shown in messages only; not an operating-system name
  std::atomic<std::int32_t> lockCount{0};  // 1 for the owner, plus 1 per announced waiter
  std::int32_t recursionDepth = 0;         // written only by the owner
  platform::EventHandle event;
  std::atomic<std::uint32_t> ownerThread{0};  // 0 when free; written only by the owner
};

class Mutex {
 public:
  // A null name works, after a message saying so.
  explicit Mutex(const char16_t* name);
  ~Mutex();  // must not be held or waited on
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock();
  // Undoes one lock by the owner; the last one hands the mutex to exactly one waiter.
  void unlock();

 private:
  void becomeOwner(std::uint32_t thread);

  MutexImpl* impl_;
};

// Holds a mutex for its scope, also when an exception passes.
class MutexLock {
 public:
  explicit MutexLock(Mutex* mutex) : mutex_(mutex) { mutex_->lock(); }
  ~MutexLock() { mutex_->unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* mutex_;
};

}  // namespace plinth
