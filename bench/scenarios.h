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
};

// Empty when the target could not be started (the reason is on standard error).
using Figures = std::vector<Figure>;

struct Scenario {
  std::string name;  // as the command line selects it
  std::string title;
  std::function<Figures(const TargetCommand&)> run;
};

std::vector<Scenario> scenarios();

}  // namespace farspeak::bench
