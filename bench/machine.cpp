#include "bench/machine.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace farspeak::bench {
namespace {

char overtimeMessage[128];

void onOvertime(int) {
  (void)!write(STDERR_FILENO, overtimeMessage, std::char_traits<char>::length(overtimeMessage));
  _exit(2);
}

}  // namespace

std::string machineDescription() {
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
  return model + ", " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores, " +
         system.sysname + " " + system.release + " " + system.machine;
}

void raiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

void limitWholeRun(const char* program, unsigned seconds) {
  std::snprintf(overtimeMessage, sizeof overtimeMessage,
                "%s: the run took too long and was stopped\n", program);
  signal(SIGALRM, onOvertime);
  alarm(seconds);
}

}  // namespace farspeak::bench
