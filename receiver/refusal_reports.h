// Refused clients, said on standard error ("Refused connection from 10.1.2.3 (denied)") and, with
// JSON records, on standard output. A scan must neither flood the streams nor slow the loop, so
// at most ten refusals a second are said one by one, over all listeners; the rest are only
// counted, and their sum said when the second is over ("...and 512 more refused connections from
// 37 addresses").
#pragma once

#include <cstdint>
#include <vector>

#include "plinth/event/event_loop.h"
#include "receiver/access_rules.h"
#include "receiver/output_buffer.h"

namespace farspeak {

inline constexpr unsigned refusalsSaidPerSecond = 10;

class RefusalReports final : private plinth::Timer {
 public:
  RefusalReports(plinth::EventLoop& loop, OutputBuffer& output);
  ~RefusalReports();
  RefusalReports(const RefusalReports&) = delete;
  RefusalReports& operator=(const RefusalReports&) = delete;

  // A client from `peer` was refused, for the reason `verdict` gives.
  void report(const plinth::platform::SocketAddress& peer, Verdict verdict);
  // At the end: the sum of what was not said yet.
  void finish();

 private:
  // The second is over: the sum of what it did not say, if anything; the next refusal starts
  // another second.
  void onTimer() override { finish(); }

  plinth::EventLoop& loop_;
  OutputBuffer& output_;
  unsigned said_ = 0;          // one by one, in the second under way
  std::uint64_t notSaid_ = 0;  // counted only, in the second under way
  // Where those came from, each address once at least (a run from one address once).
  std::vector<plinth::platform::SocketAddress> notSaidFrom_;
};

}  // namespace farspeak
