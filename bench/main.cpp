// farspeak-bench FARSPEAK [SCENARIO...]: runs each scenario (all by default) against the given
// farspeak and against socat doing the same job, and prints each figure beside socat's. Each
// target listens on a port of its own: farspeak on the one it picks (-p 0), socat on one found
// free.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "bench/machine.h"
#include "bench/scenarios.h"
#include "bench/target.h"

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

void printColumns(const std::string& label, const std::string& farspeak, const std::string& socat,
                  const std::string& ratioText) {
  std::printf("  %-44s %16s %16s %16s\n", label.c_str(), farspeak.c_str(), socat.c_str(),
              ratioText.c_str());
}

void printFigures(const Figures& farspeak, const Figures& socat) {
  const Figures& labels = farspeak.size() >= socat.size() ? farspeak : socat;
  for (std::size_t row = 0; row < labels.size(); ++row) {
    const Figure* mine = row < farspeak.size() ? &farspeak[row] : nullptr;
    const Figure* theirs = row < socat.size() ? &socat[row] : nullptr;
    const Figure& figure = labels[row];
    printColumns(figure.label, mine ? formatNumber(mine->value, mine->decimals) : "failed",
                 theirs ? formatNumber(theirs->value, theirs->decimals) : "failed",
                 mine && theirs && figure.compared ? ratio(mine->value, theirs->value) : "");
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
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
  const std::vector<std::string> chosen(argv + 2, argv + argc);

  describeMachine();
  std::cout << "Ratio: farspeak's figure divided by socat's.\n";
  bool allRan = true;
  for (const auto& scenario : farspeak::bench::scenarios()) {
    const bool named = std::find(chosen.begin(), chosen.end(), scenario.name) != chosen.end();
    if (chosen.empty() ? !scenario.byDefault : !named)
      continue;
    std::cout << "\n" << scenario.title << "\n";
    printColumns("", "farspeak", "socat", "ratio");
    std::cout.flush();
    std::vector<Figures> myRounds;
    std::vector<Figures> theirRounds;
    for (int round = 0; round < scenario.rounds; ++round) {
      myRounds.push_back(scenario.run(farspeak));
      theirRounds.push_back(scenario.run(socat));
    }
    const Figures mine = farspeak::bench::combineRounds(myRounds);
    const Figures theirs = farspeak::bench::combineRounds(theirRounds);
    allRan = allRan && !mine.empty() && !theirs.empty();
    printFigures(mine, theirs);
  }
  return allRan ? 0 : 1;
}
