// The bench's scenarios: each starts one target, puts one load on it and returns its figures.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "bench/target.h"

namespace farspeak::bench {

struct Figure {
  std::string label;
  double value = 0.0;
  int decimals = 0;
  bool compared = true;  // the report gives the ratio of the two targets' values
  bool counted = false;  // over several rounds, the sum (a count of lines); otherwise the median
};

// Empty when the target could not be started (the reason is on standard error).
using Figures = std::vector<Figure>;

struct Scenario {
  std::string name;  // as the command line selects it
  std::string title;
  std::function<Figures(const TargetCommand&)> run;
  // Runs of each target, taken in turns: a run this short swings with whatever else the machine
  // does, and the median of several, side by side, is what compares.
  int rounds = 1;
  // Whether a run that names no scenario takes it; one that takes minutes is run by name.
  bool byDefault = true;
  // Whether the trivial receiver runs it too, as the ceiling of one thread.
  bool againstTrivial = false;
};

std::vector<Scenario> scenarios();

// The figures of several rounds as one: each row's median, or its sum for counted rows. Empty
// when a round has failed.
Figures combineRounds(const std::vector<Figures>& rounds);

}  // namespace farspeak::bench
