#include "bench/target.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "bench/timing.h"
#include "tests/support/announced_port.h"

namespace farspeak::bench {
namespace {

constexpr double startLimit = 5.0;  // seconds for a target to listen
constexpr double stopGrace = 3.0;   // seconds between SIGTERM and SIGKILL

struct GroupUsage {
  double seconds = 0.0;     // user and system time of the members
  std::size_t members = 0;  // a zombie leader included
};

// The process's CPU clock counts nanoseconds, where /proc's clock ticks (10 ms) would hide the
// cost of a receiver that is nearly idle; the ticks serve when the clock cannot be read.
double cpuSecondsOf(pid_t pid, unsigned long long ticks) {
  clockid_t clock{};
  timespec used{};
  if (clock_getcpuclockid(pid, &clock) == 0 && clock_gettime(clock, &used) == 0)
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) * 1e-9;
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

GroupUsage groupUsage(pid_t group) {
  GroupUsage usage;
  DIR* processes = opendir("/proc");
  if (processes == nullptr)
    return usage;
  while (const dirent* entry = readdir(processes)) {
    if (std::isdigit(static_cast<unsigned char>(entry->d_name[0])) == 0)
      continue;
    const std::string path = std::string("/proc/") + entry->d_name + "/stat";
    const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0)
      continue;  // it has just ended
    char stat[1024];
    const ssize_t length = read(file, stat, sizeof stat - 1);
    close(file);
    if (length <= 0)
      continue;
    stat[length] = '\0';
    // The command name in parentheses may hold spaces and parentheses of its own.
    const char* afterName = std::strrchr(stat, ')');
    int processGroup = 0;
    unsigned long long user = 0;
    unsigned long long system = 0;
    if (afterName == nullptr ||
        std::sscanf(afterName + 1, " %*c %*d %d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu",
                    &processGroup, &user, &system) != 3 ||
        processGroup != group) {
      continue;
    }
    usage.seconds += cpuSecondsOf(static_cast<pid_t>(std::atoi(entry->d_name)), user + system);
    ++usage.members;
  }
  closedir(processes);
  return usage;
}

struct PortSockets {
  std::size_t established = 0;
  std::size_t queued = 0;  // connections waiting in the listening socket's queue
  bool listening = false;
};

// The sockets on `port`. With `listenerOnly`, reading stops at the first socket that is not
// listening: the kernel lists the listening sockets first, and the rest take milliseconds to read
// with thousands of clients.
PortSockets portSockets(std::uint16_t port, bool listenerOnly) {
  PortSockets sockets;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::FILE* file = std::fopen(table, "re");
    if (file == nullptr)
      continue;
    char line[512];
    while (std::fgets(line, sizeof line, file) != nullptr) {
      unsigned localPort = 0;
      unsigned state = 0;
      unsigned sendQueue = 0;
      unsigned receiveQueue = 0;
      // "sl: local-address:port remote-address:port state tx-queue:rx-queue ..."; the header
      // line does not parse. A listener's rx-queue is its count of connections not yet accepted.
      if (std::sscanf(line, " %*s %*[0-9A-Fa-f]:%x %*[0-9A-Fa-f]:%*x %x %x:%x", &localPort, &state,
                      &sendQueue, &receiveQueue) != 4) {
        continue;
      }
      if (listenerOnly && state != 0x0A)
        break;
      if (localPort != port)
        continue;
      if (state == 0x01) {  // established
        ++sockets.established;
      } else if (state == 0x0A) {  // listening
        sockets.listening = true;
        sockets.queued += receiveQueue;
      }
    }
    std::fclose(file);
    // A listener is in one table only, and reading the other (even its first lines) can cost a
    // walk through the kernel's whole table of connections.
    if (listenerOnly && sockets.listening)
      break;
  }
  return sockets;
}

// Waits for the process to end, leaving it a zombie: while it is one, neither its process id nor
// its group id can be handed to another process, so signals to the group reach only ours.
bool waitExitKeepingZombie(pid_t pid, double limitSeconds) {
  const double until = monotonicSeconds() + limitSeconds;
  for (;;) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid) {
      return true;
    }
    if (monotonicSeconds() >= until)
      return false;
    sleepSeconds(0.005);
  }
}

bool portListening(std::uint16_t port) {
  return portSockets(port, true).listening;
}

// The start of what was written to `file`, which is enough for a banner.
std::string startOf(int file) {
  char text[4096];
  const ssize_t length = file >= 0 ? pread(file, text, sizeof text, 0) : -1;
  return length > 0 ? std::string(text, static_cast<std::size_t>(length)) : std::string();
}

// A file on tmpfs that is gone from the directory at once: returns the descriptor to hand to the
// child and sets `readBack` to one for reading it.
int openScratchFile(const std::string& name, int& readBack) {
  const std::string path = "/dev/shm/farspeak-bench-" + std::to_string(getpid()) + "-" + name;
  unlink(path.c_str());
  const int write = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
  readBack = write < 0 ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  unlink(path.c_str());
  return write;
}

// A port that no socket of this machine holds now: the system picks it for a socket that is then
// closed. 0 when there is none.
std::uint16_t freePort() {
  const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  const bool bound = probe >= 0 &&
                     bind(probe, reinterpret_cast<const sockaddr*>(&address), length) == 0 &&
                     getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  if (probe >= 0)
    close(probe);
  return bound ? ntohs(address.sin_port) : 0;
}

}  // namespace

Target::Target(const TargetCommand& command, Capture capture) {
  constexpr std::string_view portMark = "{port}";
  std::vector<std::string> commandLine = command.arguments;
  const bool portGiven = std::any_of(
      commandLine.begin(), commandLine.end(),
      [&](const std::string& argument) { return argument.find(portMark) != std::string::npos; });
  if (portGiven)
    port_ = freePort();
  for (std::string& argument : commandLine) {
    if (const std::size_t at = argument.find(portMark); at != std::string::npos)
      argument.replace(at, portMark.size(), std::to_string(port_));
  }
  const int childError = openScratchFile(command.name + ".err", error_);
  int childOutput = -1;
  if (capture == Capture::file) {
    childOutput = openScratchFile(command.name + ".out", output_);
  } else {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) == 0) {
      output_ = ends[0];
      childOutput = ends[1];
    }
  }
  std::vector<char*> arguments;
  for (const std::string& argument : commandLine)
    arguments.push_back(const_cast<char*>(argument.c_str()));
  arguments.push_back(nullptr);

  if (childError >= 0 && childOutput >= 0 && output_ >= 0)
    pid_ = fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls between fork and exec: the bench may run other threads.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // the bench's end is the target's end
    const int nothing = open("/dev/null", O_RDONLY);
    dup2(nothing, STDIN_FILENO);
    dup2(childOutput, STDOUT_FILENO);
    dup2(childError, STDERR_FILENO);
    execvp(arguments[0], arguments.data());
    _exit(127);
  }
  if (pid_ > 0)
    setpgid(pid_, pid_);  // also here: the child may not have run yet when we signal its group
  if (childOutput >= 0)
    close(childOutput);
  if (childError >= 0)
    close(childError);
  if (pid_ <= 0)
    return;

  const int errors = command.errorFile >= 0 ? command.errorFile : error_;
  const double until = monotonicSeconds() + startLimit;
  while (!listening_ && monotonicSeconds() < until) {
    if (!portGiven)
      port_ = test_support::announcedPort(startOf(errors)).value_or(0);
    listening_ = port_ != 0 && portListening(port_);
    if (!listening_ && waitExitKeepingZombie(pid_, 0.0))
      break;
    sleepSeconds(0.01);
  }
}

Target::~Target() {
  stop();
  if (output_ >= 0)
    close(output_);
  if (error_ >= 0)
    close(error_);
}

std::uint64_t Target::outputBytes() const {
  struct stat status {};
  return fstat(output_, &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
}

std::string Target::errorText() const {
  return startOf(error_);
}

std::size_t Target::errorLines() const {
  std::size_t lines = 0;
  char text[65536];
  off_t offset = 0;
  for (ssize_t length; (length = pread(error_, text, sizeof text, offset)) > 0; offset += length)
    lines += static_cast<std::size_t>(std::count(text, text + length, '\n'));
  return lines;
}

double Target::cpuSeconds() const {
  return pid_ > 0 ? groupUsage(pid_).seconds : 0.0;
}

double Target::peakResidentMiB() const {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid_));
  std::FILE* status = pid_ > 0 ? std::fopen(path, "r") : nullptr;
  if (status == nullptr)
    return NAN;
  char line[256];
  double kib = NAN;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, "VmHWM:", 6) == 0)
      kib = std::strtod(line + 6, nullptr);
  }
  std::fclose(status);
  return kib / 1024.0;
}

void Target::stop() {
  if (pid_ <= 0)
    return;
  kill(-pid_, SIGTERM);
  if (!waitExitKeepingZombie(pid_, stopGrace)) {
    kill(-pid_, SIGKILL);
    waitExitKeepingZombie(pid_, stopGrace);
  }
  // Processes the leader started (socat's children) had the SIGTERM too; wait for them briefly.
  const double until = monotonicSeconds() + stopGrace;
  while (groupUsage(pid_).members > 1 && monotonicSeconds() < until)
    sleepSeconds(0.01);
  if (groupUsage(pid_).members > 1)
    kill(-pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::size_t Target::acceptedConnections() const {
  const PortSockets sockets = portSockets(port_, false);
  return sockets.established > sockets.queued ? sockets.established - sockets.queued : 0;
}

std::size_t Target::waitAccepted(std::size_t count, double limitSeconds) const {
  const double until = monotonicSeconds() + limitSeconds;
  std::size_t accepted = acceptedConnections();
  while (accepted < count && monotonicSeconds() < until) {
    sleepSeconds(0.02);
    accepted = acceptedConnections();
  }
  return accepted;
}

std::size_t Target::queuedConnections() const {
  return portSockets(port_, true).queued;
}

}  // namespace farspeak::bench
