// farspeak-stress [--smoke] FARSPEAK [SCENARIO...]: sets hostile and heavy clients on the given
// farspeak, one scenario at a time (all by default), each against a fresh process, and prints what
// it checked with PASS or FAIL, then a summary. Exits 1 when any check failed. Each process picks
// a free port of its own (-p 0), which its banner names.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "bench/machine.h"
#include "bench/stress_scenarios.h"
#include "bench/stress_target.h"

namespace {

using farspeak::bench::Check;
using farspeak::bench::ScenarioReport;

// Seconds; every step has a limit of its own as well.
constexpr unsigned wholeRunLimit = 900;
constexpr unsigned smokeRunLimit = 180;

void printChecks(const ScenarioReport& report) {
  std::printf("\n%s: %s\n", report.name.c_str(), report.title.c_str());
  for (const Check& check : report.checks) {
    const char* verdict = check.target.empty() ? "" : check.passed ? "PASS" : "FAIL";
    std::printf("  %-52s %-34s %-30s %s\n", check.label.c_str(), check.value.c_str(),
                check.target.c_str(), verdict);
  }
  std::fflush(stdout);
}

std::string numberOrDash(double value) {
  return farspeak::bench::numberText(value, 1);
}

void printSummary(const std::vector<ScenarioReport>& reports) {
  std::printf("\nSummary\n  %-18s %14s %14s %14s %18s %12s  %s\n", "scenario", "probe worst ms",
              "peak mem MiB", "mem limit MiB", "idle fds before/after", "accepts at end", "result");
  for (const ScenarioReport& report : reports) {
    const std::string descriptors = std::to_string(report.idleDescriptorsBefore) + " / " +
                                    std::to_string(report.idleDescriptorsAfter);
    std::printf("  %-18s %14s %14s %14s %21s %14s  %s\n", report.name.c_str(),
                numberOrDash(report.worstProbeMilliseconds).c_str(),
                numberOrDash(report.peakMemoryMiB).c_str(),
                numberOrDash(report.memoryLimitMiB).c_str(), descriptors.c_str(),
                report.acceptsAtEnd ? "yes" : "no", report.passed() ? "PASS" : "FAIL");
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && argv[1] == farspeak::bench::launchOption)
    return farspeak::bench::launch(argc, argv);

  farspeak::bench::StressOptions options;
  std::vector<std::string> chosen;
  for (int index = 1; index < argc; ++index) {
    if (std::strcmp(argv[index], "--smoke") == 0)
      options.smoke = true;
    else if (options.farspeak.empty())
      options.farspeak = argv[index];
    else
      chosen.emplace_back(argv[index]);
  }
  const std::vector<farspeak::bench::StressScenario> scenarios = farspeak::bench::stressScenarios();
  if (options.farspeak.empty()) {
    std::cerr << "usage: farspeak-stress [--smoke] FARSPEAK [SCENARIO...]\nscenarios:";
    for (const auto& scenario : scenarios)
      std::cerr << " " << scenario.name;
    std::cerr << "\n";
    return 2;
  }
  for (const std::string& name : chosen) {
    if (std::none_of(scenarios.begin(), scenarios.end(),
                     [&](const auto& scenario) { return scenario.name == name; })) {
      std::cerr << "farspeak-stress: no scenario named '" << name << "'\n";
      return 2;
    }
  }
  farspeak::bench::limitWholeRun("farspeak-stress", options.smoke ? smokeRunLimit : wholeRunLimit);
  farspeak::bench::raiseOpenFileLimit();

  std::cout << "Machine: " << farspeak::bench::machineDescription() << "\n";
  std::cout << (options.smoke ? "Short run (--smoke)" : "Full run") << " of " << options.farspeak
            << "\n";
  std::vector<ScenarioReport> reports;
  for (const auto& scenario : scenarios) {
    if (!chosen.empty() && std::find(chosen.begin(), chosen.end(), scenario.name) == chosen.end())
      continue;
    reports.push_back(scenario.run(options));
    printChecks(reports.back());
  }
  printSummary(reports);
  const bool passed = std::all_of(reports.begin(), reports.end(),
                                  [](const ScenarioReport& report) { return report.passed(); });
  std::cout << (passed ? "\nAll checks passed.\n" : "\nSome checks FAILED.\n");
  return passed ? 0 : 1;
}
