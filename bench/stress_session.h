// One scenario's run of farspeak: a fresh receiver, a reader of its standard output, the probe
// client that times the receiver throughout, and the checks that end every scenario.
#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/clients.h"
#include "bench/stress_checks.h"
#include "bench/stress_clients.h"
#include "bench/stress_target.h"
#include "bench/timing.h"

namespace farspeak::bench {

struct StressOptions {
  std::string farspeak;  // the program under test
  bool smoke = false;    // the short version of every scenario
};

// One line of a scenario's report. A figure without a target only informs.
struct Check {
  std::string label;
  std::string value;
  std::string target;
  bool passed = true;
};

struct ScenarioReport {
  ScenarioReport(std::string name, std::string title)
      : name(std::move(name)), title(std::move(title)) {}

  std::string name;
  std::string title;
  std::vector<Check> checks;
  // The figures every scenario's summary row shows; NAN or -1 when not taken.
  double worstProbeMilliseconds = NAN;
  double peakMemoryMiB = NAN;
  double memoryLimitMiB = NAN;
  int idleDescriptorsBefore = -1;
  int idleDescriptorsAfter = -1;
  bool acceptsAtEnd = false;

  void check(std::string label, std::string value, std::string target, bool passed);
  void figure(std::string label, std::string value);
  bool passed() const;
};

// Text for a report: a count with digit grouping, or a number with `decimals` places.
std::string countText(std::uint64_t value);
std::string numberText(double value, int decimals);

// Polls `ready` every few milliseconds; false when it still does not hold after `limitSeconds`.
template <typename Ready>
bool waitUntil(double limitSeconds, Ready ready) {
  const double until = monotonicSeconds() + limitSeconds;
  while (!ready()) {
    if (monotonicSeconds() >= until)
      return false;
    sleepSeconds(0.005);
  }
  return true;
}

// Microseconds from `epoch` (monotonic seconds) to now: the sequence number of a timed line.
std::uint64_t microsecondsSince(double epoch);

// Reads a receiver's standard output on a thread of its own and hands every read to a route,
// under a lock that the scenario takes to look at what the route keeps. Reading can be paused, to
// hold the receiver up.
class OutputTap {
 public:
  using Route = std::function<void(std::string_view bytes, double seconds)>;

  OutputTap(int descriptor, Route route);
  // Stops reading at once if finish() was not called.
  ~OutputTap();
  OutputTap(const OutputTap&) = delete;
  OutputTap& operator=(const OutputTap&) = delete;

  std::unique_lock<std::mutex> hold() { return std::unique_lock<std::mutex>(mutex_); }
  void pause() { paused_ = true; }
  void resume() { paused_ = false; }
  // Reads no faster than this many bytes a second from now on.
  void limitRate(double bytesPerSecond) { rate_ = bytesPerSecond; }
  std::uint64_t bytesRead() const { return bytesRead_; }
  // Waits for the end of the output (the receiver has exited), at most a few seconds.
  void finish();

 private:
  void readUntilEnd();

  int descriptor_;
  Route route_;
  std::mutex mutex_;
  std::atomic<bool> paused_{false};
  std::atomic<bool> giveUp_{false};
  std::atomic<bool> ended_{false};
  std::atomic<std::uint64_t> bytesRead_{0};
  std::atomic<double> rate_{0.0};
  std::thread thread_;
};

class Session {
 public:
  // In a tagged session, takes the output lines of the scenario's own clients: false for a line
  // of any other client, which then goes to lines().
  using Route = std::function<bool(const TaggedLine& line, double seconds)>;

  Session(const StressOptions& options, OutputKind kind, int descriptorLimit = 0);
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Whether the receiver started, its idle descriptor count was taken, the output is read and
  // the probe is connected (when `withProbe`). Adds a failed check to `report` otherwise. Output
  // lines go to lines(), but in a tagged session those that `route` takes; whole lines of the
  // probe and the final client always go to lines().
  bool start(ScenarioReport& report, Route route = {}, bool withProbe = true);
  // The worst delay the probe may see, in seconds; a tenth of a second unless a scenario says.
  void allowProbeDelay(double seconds) { probeTarget_ = seconds; }

  double epoch() const { return epoch_; }
  StressTarget& target() { return target_; }
  // The receiver's port, for the scenario's clients.
  std::uint16_t port() const { return target_.port(); }
  OutputTap& output() { return *tap_; }
  // Take output().hold() while looking.
  LineSink& lines() { return lines_; }

  // Closes the probe and checks what every scenario ends with: every connection reported ended,
  // the idle descriptor count back, a new client accepted, memory within `peakClients`' budget,
  // no mixed or reordered line (nor, tagged, an output line without its tag), the probe's worst
  // delay, and an exit code of 0 on SIGTERM. The scenario has closed its clients.
  void finish(ScenarioReport& report, std::size_t peakClients);

 private:
  bool acceptsNewClient();

  StressOptions options_;
  OutputKind kind_;
  double epoch_;
  StressTarget target_;
  LineSink lines_;
  TaggedLines tagged_;  // takes the output apart first in a tagged session
  Route route_;
  std::unique_ptr<OutputTap> tap_;
  TimedLineClients probe_;  // one line every 100 ms, throughout
  bool withProbe_ = true;
  double probeTarget_ = 0.1;
  double cpuAtStart_ = 0.0;
};

}  // namespace farspeak::bench
