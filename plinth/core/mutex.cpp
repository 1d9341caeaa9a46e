#include "plinth/core/mutex.h"

#include <mutex>

#include "plinth/core/spin_lock.h"
#include "plinth/text/debug_dest.h"
#include "plinth/text/text_writer.h"

namespace plinth {
namespace {

constexpr std::uint32_t warningInterval = 1000;  // milliseconds

}  // namespace

MutexImpl::MutexImpl(const char16_t* name) : event(platform::services.createEvent()) {
  this->name.assign(name);
  if (name == nullptr)
    console().writeText("Mutex has no name...\n");
}

MutexImpl::~MutexImpl() {
  platform::services.closeEvent(event);
}

Mutex::Mutex(const char16_t* name) {
  std::lock_guard<SpinLock> creating(mutexCreationLock);
  impl_ = new MutexImpl(name);
}

Mutex::~Mutex() {
  delete impl_;
}

void Mutex::becomeOwner(std::uint32_t thread) {
  impl_->recursionDepth = 1;
  impl_->ownerThread.store(thread, std::memory_order_relaxed);
}

void Mutex::lock() {
  const std::uint32_t thread = platform::services.currentThreadId();
  std::int32_t expected = 0;
  if (impl_->lockCount.compare_exchange_strong(expected, 1)) {
    becomeOwner(thread);
    return;
  }
  // Another thread's id can only equal ours if we stored it, so a relaxed read is enough.
  if (impl_->ownerThread.load(std::memory_order_relaxed) == thread) {
    ++impl_->recursionDepth;
    return;
  }
  if (impl_->lockCount.fetch_add(1) + 1 == 1) {  // the owner let go in the meantime
    becomeOwner(thread);
    return;
  }
  while (!platform::services.waitEvent(impl_->event, warningInterval)) {
    if (!writeInProgress) {
      console()
          .writeText("Mutex ")
          .writeWideText(impl_->name.text)
          .writeText(" is taking a long time...\n");
    }
  }
  becomeOwner(thread);
}

void Mutex::unlock() {
  if (--impl_->recursionDepth > 0)
    return;
  impl_->ownerThread.store(0, std::memory_order_relaxed);
  // Auto-reset: lets exactly one waiter through, or the next one to arrive if none sleeps yet.
  if (impl_->lockCount.fetch_sub(1) - 1 > 0)
    platform::services.setEvent(impl_->event);
}

}  // namespace plinth
