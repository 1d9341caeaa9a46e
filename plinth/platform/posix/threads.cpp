#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "plinth/platform/native.h"

namespace plinth::platform::native {
namespace {

// An auto-reset event: a flag under a mutex, and a condition variable on the monotonic clock so
// that a change of the wall clock cannot stretch or cut a timed wait.
struct Event {
  pthread_mutex_t mutex;
  pthread_cond_t signalled;
  bool isSet = false;
};

timespec deadlineAfter(std::uint32_t milliseconds) {
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += milliseconds / 1000;
  deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1'000'000;
  if (deadline.tv_nsec >= 1'000'000'000) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1'000'000'000;
  }
  return deadline;
}

}  // namespace

EventHandle createEvent() {
  auto* event = new (std::nothrow) Event;
  if (event == nullptr)
    return nullptr;
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_init(&event->signalled, &attributes);
  pthread_condattr_destroy(&attributes);
  pthread_mutex_init(&event->mutex, nullptr);
  return event;
}

bool waitEvent(EventHandle handle, std::uint32_t milliseconds) {
  auto* event = static_cast<Event*>(handle);
  const timespec deadline = deadlineAfter(milliseconds);
  pthread_mutex_lock(&event->mutex);
  int result = 0;
  while (!event->isSet && result != ETIMEDOUT) {
    result = pthread_cond_timedwait(&event->signalled, &event->mutex, &deadline);
  }
  const bool signalled = event->isSet;
  event->isSet = false;  // automatic reset: this waiter consumes the signal
  pthread_mutex_unlock(&event->mutex);
  return signalled;
}

void setEvent(EventHandle handle) {
  auto* event = static_cast<Event*>(handle);
  pthread_mutex_lock(&event->mutex);
  event->isSet = true;
  // Signalled under the mutex: a woken waiter may close the event as soon as the mutex is free.
  pthread_cond_signal(&event->signalled);
  pthread_mutex_unlock(&event->mutex);
}

void closeEvent(EventHandle handle) {
  auto* event = static_cast<Event*>(handle);
  if (event == nullptr)
    return;
  pthread_cond_destroy(&event->signalled);
  pthread_mutex_destroy(&event->mutex);
  delete event;
}

}  // namespace plinth::platform::native
