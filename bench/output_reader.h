// Reads a target's standard output pipe on a thread of its own, checking the lines as they come
// and noting when each intact line arrived.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/lines.h"

namespace farspeak::bench {

struct Arrival {
  std::uint32_t client = 0;
  std::uint64_t sequence = 0;
  double seconds = 0.0;  // bench clock, taken when the read that completed the line returned
};

class OutputReader {
 public:
  OutputReader(int pipe, std::uint32_t clients, std::size_t lineLength);
  // Stops reading at once, if finish() was not called.
  ~OutputReader();
  OutputReader(const OutputReader&) = delete;
  OutputReader& operator=(const OutputReader&) = delete;

  std::vector<Arrival> arrivals() const;
  std::size_t arrivalCount() const;
  // Waits for the end of the output (the target has stopped), at most a few seconds; the
  // checker's counts are final afterwards.
  void finish();
  const LineChecker& checker() const { return checker_; }

 private:
  void readUntilEnd();

  int pipe_;
  LineChecker checker_;
  mutable std::mutex mutex_;
  std::vector<Arrival> arrivals_;
  double now_ = 0.0;  // the time of the read being checked; the reading thread's own
  std::atomic<bool> giveUp_{false};
  std::atomic<bool> ended_{false};
  std::thread thread_;
};

}  // namespace farspeak::bench
