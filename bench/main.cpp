// farspeak-bench FARSPEAK [SCENARIO...]: runs each scenario (all by default) against the given
// farspeak and against socat doing the same job, and prints each figure beside socat's; the
// throughput scenarios also against a trivial receiver (bench/trivial_receiver.h), the ceiling of
// one thread. Each target listens on a port of its own: farspeak on the one it picks (-p 0), the
// others on one found free.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "bench/machine.h"
#include "bench/scenarios.h"
#include "bench/target.h"
#include "bench/trivial_receiver.h"

namespace {

using farspeak::bench::Figure;
using farspeak::bench::Figures;

constexpr unsigned wholeRunLimit = 900;  // seconds; every step has a limit of its own as well

std::size_t systemListenBacklog() {
  std::ifstream limit("/proc/sys/net/core/somaxconn");
  std::size_t backlog = 0;
  return limit >> backlog ? backlog : 128;  // 128: the kernel's default before 5.4
}

std::string firstLineOf(std::FILE* stream) {
  char line[256] = {};
  if (stream == nullptr || std::fgets(line, sizeof line, stream) == nullptr)
    return "";
  std::string text(line);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
    text.pop_back();
  return text;
}

void describeMachine() {
  std::FILE* socat = popen("socat -V 2>/dev/null | grep -m1 'socat version'", "r");
  const std::string socatVersion = firstLineOf(socat);
  if (socat != nullptr)
    pclose(socat);
  std::cout << "Machine: " << farspeak::bench::machineDescription() << "\n"
            << "Compared with: " << (socatVersion.empty() ? "socat" : socatVersion) << "\n";
}

std::string formatNumber(double value, int decimals) {
  if (value != value)
    return "-";  // not measured
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  const std::string number(text);
  std::size_t digitsEnd = number.find('.');
  if (digitsEnd == std::string::npos)
    digitsEnd = number.size();
  std::string grouped;
  for (std::size_t index = 0; index < number.size(); ++index) {
    grouped += number[index];
    const std::size_t digitsLeft = index < digitsEnd ? digitsEnd - index - 1 : 0;
    if (std::isdigit(static_cast<unsigned char>(number[index])) != 0 && digitsLeft > 0 &&
        digitsLeft % 3 == 0) {
      grouped += ',';
    }
  }
  return grouped;
}

std::string ratio(double farspeak, double socat) {
  if (socat == 0.0 || socat != socat || farspeak != farspeak)
    return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.3g", farspeak / socat);
  return text;
}

// The label, then for each other target its figure and farspeak's divided by it.
void printColumns(const std::string& label, const std::vector<std::string>& columns) {
  std::printf("  %-44s", label.c_str());
  for (const std::string& column : columns)
    std::printf(" %16s", column.c_str());
  std::printf("\n");
}

// Farspeak's figures, then each other target's beside it with the ratio.
void printFigures(const Figures& farspeak, const std::vector<Figures>& others) {
  for (std::size_t row = 0; row < farspeak.size(); ++row) {
    const Figure& mine = farspeak[row];
    std::vector<std::string> columns{formatNumber(mine.value, mine.decimals)};
    for (const Figures& other : others) {
      const Figure* theirs = row < other.size() ? &other[row] : nullptr;
      columns.push_back(theirs ? formatNumber(theirs->value, theirs->decimals) : "failed");
      columns.push_back(theirs && mine.compared ? ratio(mine.value, theirs->value) : "");
    }
    printColumns(mine.label, columns);
  }
  if (farspeak.empty())
    printColumns("failed", {});
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && argv[1] == farspeak::bench::trivialReceiverOption)
    return farspeak::bench::runTrivialReceiver(static_cast<std::uint16_t>(std::atoi(argv[2])));
  if (argc < 2) {
    std::cerr << "usage: farspeak-bench FARSPEAK [SCENARIO...]\nscenarios:";
    for (const auto& scenario : farspeak::bench::scenarios())
      std::cerr << " " << scenario.name;
    std::cerr << "\n";
    return 2;
  }
  // The receivers die with the bench; socat's children once their clients are gone.
  farspeak::bench::limitWholeRun("farspeak-bench", wholeRunLimit);
  farspeak::bench::raiseOpenFileLimit();

  // farspeak asks for the largest listen backlog, which the kernel cuts to somaxconn; socat's
  // default is 5.
  const farspeak::bench::TargetCommand farspeak{
      "farspeak", {argv[1], "-p", "0"}, systemListenBacklog()};
  const farspeak::bench::TargetCommand socat{
      "socat", {"socat", "-u", "TCP-LISTEN:{port},fork,reuseaddr", "STDOUT"}, 5};
  const farspeak::bench::TargetCommand trivial{
      "trivial",
      {"/proc/self/exe", std::string(farspeak::bench::trivialReceiverOption), "{port}"},
      systemListenBacklog()};
  const std::vector<std::string> chosen(argv + 2, argv + argc);

  describeMachine();
  std::cout << "Ratio: farspeak's figure divided by the one before it.\n";
  bool allRan = true;
  for (const auto& scenario : farspeak::bench::scenarios()) {
    const bool named = std::find(chosen.begin(), chosen.end(), scenario.name) != chosen.end();
    if (chosen.empty() ? !scenario.byDefault : !named)
      continue;
    std::cout << "\n" << scenario.title << "\n";
    std::vector<farspeak::bench::TargetCommand> others{socat};
    std::vector<std::string> heads{"farspeak", "socat", "ratio"};
    if (scenario.againstTrivial) {
      others.push_back(trivial);
      heads.insert(heads.end(), {"trivial", "ratio"});
    }
    printColumns("", heads);
    std::cout.flush();
    std::vector<Figures> myRounds;
    std::vector<std::vector<Figures>> theirRounds(others.size());
    for (int round = 0; round < scenario.rounds; ++round) {
      myRounds.push_back(scenario.run(farspeak));
      for (std::size_t other = 0; other < others.size(); ++other)
        theirRounds[other].push_back(scenario.run(others[other]));
    }
    std::vector<Figures> theirs;
    for (const std::vector<Figures>& rounds : theirRounds) {
      theirs.push_back(farspeak::bench::combineRounds(rounds));
      allRan = allRan && !theirs.back().empty();
    }
    const Figures mine = farspeak::bench::combineRounds(myRounds);
    allRan = allRan && !mine.empty();
    printFigures(mine, theirs);
  }
  return allRan ? 0 : 1;
}
