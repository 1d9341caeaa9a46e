#include "plinth/event/event_loop.h"

#include <algorithm>
#include <cmath>

#include "plinth/core/clock.h"

namespace plinth {
namespace {

// How many watchers whose peers have ended a round calls at most; each costs a close and a message.
constexpr std::size_t mostEndsARound = 64;

}  // namespace
EventLoop::EventLoop() : set_(platform::services.openReadinessSet()) {
  updateTime();
}

EventLoop::~EventLoop() {
  if (set_ != nullptr)
    platform::services.closeReadinessSet(set_);
}

bool EventLoop::watch(Watcher& watcher, platform::SocketHandle socket) {
  if (set_ == nullptr || socket == platform::invalidSocket ||
      !platform::services.watchSocket(set_, socket, &watcher))
    return false;
  watcher.socket_ = socket;
  watcher.reading_ = true;
  return true;
}

void EventLoop::unwatch(Watcher& watcher) {
  setReading(watcher, false);
  watcher.socket_ = platform::invalidSocket;
  if (watcher.again_) {
    std::erase(again_, &watcher);
    watcher.again_ = false;
  }
}

void EventLoop::setReading(Watcher& watcher, bool reading) {
  if (watcher.socket_ == platform::invalidSocket || reading == watcher.reading_)
    return;
  if (reading)
    watcher.reading_ = platform::services.watchSocket(set_, watcher.socket_, &watcher);
  else
    platform::services.unwatchSocket(set_, watcher.socket_);
  watcher.reading_ = reading && watcher.reading_;
}

void EventLoop::callAgain(Watcher& watcher) {
  if (!watcher.again_) {
    watcher.again_ = true;
    again_.push_back(&watcher);
  }
}

// The list stays in the order of the times; most timers join at the back.
void EventLoop::schedule(Timer& timer, double when) {
  if (timer.scheduled_ && timer.due_ == when)
    return;
  unlink(timer);
  timer.due_ = when;
  timer.scheduled_ = true;
  Timer* earlier = latest_;
  while (earlier != nullptr && earlier->due_ > when)
    earlier = earlier->earlier_;
  timer.earlier_ = earlier;
  timer.later_ = earlier != nullptr ? earlier->later_ : earliest_;
  (earlier != nullptr ? earlier->later_ : earliest_) = &timer;
  (timer.later_ != nullptr ? timer.later_->earlier_ : latest_) = &timer;
}

void EventLoop::cancel(Timer& timer) {
  unlink(timer);
}

void EventLoop::unlink(Timer& timer) {
  if (!timer.scheduled_)
    return;
  (timer.earlier_ != nullptr ? timer.earlier_->later_ : earliest_) = timer.later_;
  (timer.later_ != nullptr ? timer.later_->earlier_ : latest_) = timer.earlier_;
  timer.earlier_ = timer.later_ = nullptr;
  timer.scheduled_ = false;
}

void EventLoop::updateTime() {
  now_ = getSeconds(true);
}

bool EventLoop::run() {
  if (set_ == nullptr)
    return false;
  stopped_ = false;
  while (!stopped_) {
    if (!waitForSockets())
      return false;
    callWatchers();
    runTimers();
    if (beforeWait_)
      beforeWait_();
  }
  return true;
}

bool EventLoop::waitForSockets() {
  ready_.clear();
  const std::int32_t limit = !again_.empty() || lookNext_ ? 0 : timerLimit();
  lookNext_ = false;
  if (!platform::services.waitForReadiness(set_, limit, ready_))
    return false;
  updateTime();
  return true;
}

// Milliseconds until the earliest timer, rounded up, and one more: a timer runs only once its time
// has passed, and the system counts in whole milliseconds. -1 (no limit) without a timer.
std::int32_t EventLoop::timerLimit() const {
  if (earliest_ == nullptr)
    return -1;
  return static_cast<std::int32_t>(std::max(0.0, std::ceil((earliest_->due_ - now_) * 1000.0)) + 1);
}

// Those that asked for another turn, then those with something to read, then at most a few whose
// peers have ended: they stay ready, and the next rounds take the rest. So a crowd that leaves at
// once does not hold up a client with a line.
void EventLoop::callWatchers() {
  ++round_;
  calling_.swap(again_);
  for (Watcher* watcher : calling_) {
    watcher->again_ = false;
    watcher->round_ = round_;
  }
  std::size_t endsLeft = mostEndsARound;
  for (const bool ends : {false, true}) {
    for (const platform::ReadyWatcher& found : ready_) {
      auto* watcher = static_cast<Watcher*>(found.watcher);
      if (found.ended != ends || watcher->round_ == round_ || (ends && endsLeft == 0))
        continue;
      endsLeft -= ends ? 1 : 0;
      watcher->round_ = round_;
      calling_.push_back(watcher);
    }
  }
  calledAny_ = !calling_.empty();
  for (Watcher* watcher : calling_) {
    if (watcher->socket_ != platform::invalidSocket)  // not left by an earlier call
      watcher->onReadable();
  }
  calling_.clear();
}

void EventLoop::runTimers() {
  while (earliest_ != nullptr && now_ > earliest_->due_) {
    Timer& timer = *earliest_;
    unlink(timer);
    timer.onTimer();
  }
}

}  // namespace plinth
