// A loop that serves many sockets on one thread: watchers of sockets, called when their socket has
// something to say; timers; and a hook before each wait. A round of `run`:
//   1. wait for the sockets: at most until the earliest timer, and only a look when a watcher
//      asked for another turn;
//   2. call the watchers that asked for another turn, and those of the sockets found ready, each
//      once: those whose peers have ended last, and at most a few of them a round;
//   3. run the timers whose time has passed, earliest first;
//   4. run the before-wait hook.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "plinth/platform/platform.h"

namespace plinth {

// Called when its socket has something to say (data, a client waiting, an end, a reset, an
// error: reading it tells which), or for another turn it asked for.
class Watcher {
 public:
  virtual void onReadable() = 0;

 protected:
  ~Watcher() = default;

 private:
  friend class EventLoop;
  platform::SocketHandle socket_ = platform::invalidSocket;
  bool reading_ = false;     // its socket is in the readiness set
  bool again_ = false;       // it asked for another turn
  std::uint64_t round_ = 0;  // the last round that called it
};

// Called once the loop's clock has passed its time.
class Timer {
 public:
  virtual void onTimer() = 0;
  bool scheduled() const { return scheduled_; }
  double due() const { return due_; }  // while scheduled

 protected:
  ~Timer() = default;

 private:
  friend class EventLoop;
  double due_ = 0.0;
  bool scheduled_ = false;
  Timer* earlier_ = nullptr;
  Timer* later_ = nullptr;
};

class EventLoop {
 public:
  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Watches `socket` for `watcher`, reading. False when the system refused.
  bool watch(Watcher& watcher, platform::SocketHandle socket);
  // Before its socket closes: the watcher is no longer called.
  void unwatch(Watcher& watcher);
  // While not reading, the socket is out of the wait and what its peer sends waits in the system;
  // the watcher may still take a turn it asked for.
  void setReading(Watcher& watcher, bool reading);
  // The watcher has more to do: it is called in the next round, which does not wait.
  void callAgain(Watcher& watcher);
  bool turnsPending() const { return !again_.empty(); }

  // Calls the timer once the clock has passed `when` (seconds, as now() reads them).
  void schedule(Timer& timer, double when);
  void cancel(Timer& timer);

  void setBeforeWait(std::function<void()> hook) { beforeWait_ = std::move(hook); }
  // The next wait only looks, whatever the timers.
  void lookNext() { lookNext_ = true; }
  // Whether this round called any watcher.
  bool calledAny() const { return calledAny_; }

  // The loop's clock: getSeconds(true), read after every wait. `updateTime` reads it afresh, after
  // something that may have taken long.
  double now() const { return now_; }
  void updateTime();

  // Ends `run` at the end of the round.
  void stop() { stopped_ = true; }
  // Rounds until stop(). False when the system gave no readiness set, or a wait failed
  // (lastSocketError tells why).
  bool run();

 private:
  bool waitForSockets();
  void callWatchers();
  void runTimers();
  std::int32_t timerLimit() const;
  void unlink(Timer& timer);

  platform::ReadinessSet set_;
  std::vector<Watcher*> again_;
  std::vector<Watcher*> calling_;
  std::vector<platform::ReadyWatcher> ready_;
  Timer* earliest_ = nullptr;
  Timer* latest_ = nullptr;
  std::function<void()> beforeWait_;
  double now_ = 0.0;
  std::uint64_t round_ = 0;
  bool lookNext_ = false;
  bool calledAny_ = false;
  bool stopped_ = false;
};

}  // namespace plinth
