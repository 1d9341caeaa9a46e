// farspeak-stress [--smoke] FARSPEAK [SCENARIO...]: sets hostile and heavy clients on the given
// farspeak, one scenario at a time (all by default), each against a fresh process, and prints what
// it checked with PASS or FAIL, then a summary. Exits 1 when any check failed. It binds port 52525
// through its targets: run it under the port lock.
#include <signal.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "bench/stress_scenarios.h"
#include "bench/stress_target.h"
#include "bench/target.h"

namespace {

using farspeak::bench::Check;
using farspeak::bench::ScenarioReport;

// Seconds; every step has a limit of its own as well.
constexpr unsigned wholeRunLimit = 900;
constexpr unsigned smokeRunLimit = 180;

void onWholeRunLimit(int) {
  static constexpr char message[] = "farspeak-stress: the run took too long and was stopped\n";
  (void)!write(STDERR_FILENO, message, sizeof message - 1);
  _exit(2);  // the receiver dies with the suite
}

// Thousands of clients need a descriptor each.
void raiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

void describeMachine() {
  std::ifstream cpuInfo("/proc/cpuinfo");
  std::string model = "unknown processor";
  for (std::string line; std::getline(cpuInfo, line);) {
    if (line.rfind("model name", 0) == 0) {
      model = line.substr(line.find(':') + 2);
      break;
    }
  }
  utsname system{};
  uname(&system);
  std::cout << "Machine: " << model << ", " << sysconf(_SC_NPROCESSORS_ONLN) << " cores, "
            << system.sysname << " " << system.release << " " << system.machine << "\n";
}

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
  signal(SIGALRM, onWholeRunLimit);
  alarm(options.smoke ? smokeRunLimit : wholeRunLimit);
  raiseOpenFileLimit();
  if (farspeak::bench::portListening()) {
    std::cerr << "farspeak-stress: port " << farspeak::bench::receiverPort
              << " is in use; run the suite under the port lock with nothing else on it\n";
    return 1;
  }

  describeMachine();
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
