// The stress suite's scenarios: each starts a fresh receiver, sets one kind of hostile or heavy
// client on it, and reports what it checked. Every step has a time limit, so a stuck receiver
// costs seconds, not the run.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "bench/stress_session.h"

namespace farspeak::bench {

struct StressScenario {
  std::string name;  // as the command line selects it
  std::function<ScenarioReport(const StressOptions&)> run;
};

std::vector<StressScenario> stressScenarios();

}  // namespace farspeak::bench
