#include "bench/stress_target.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/timing.h"

namespace farspeak::bench {
namespace {

std::string selfPath() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

std::string readFile(const std::string& path) {
  std::string text;
  const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0)
    return text;
  char chunk[4096];
  for (ssize_t length; (length = read(file, chunk, sizeof chunk)) > 0;)
    text.append(chunk, static_cast<std::size_t>(length));
  close(file);
  return text;
}

// The process of which the suite is the parent: Target starts exactly one at a time.
pid_t onlyChild() {
  DIR* processes = opendir("/proc");
  if (processes == nullptr)
    return -1;
  pid_t child = -1;
  while (const dirent* entry = readdir(processes)) {
    if (std::isdigit(static_cast<unsigned char>(entry->d_name[0])) == 0)
      continue;
    const std::string stat = readFile(std::string("/proc/") + entry->d_name + "/stat");
    const std::size_t afterName = stat.rfind(')');
    int parent = 0;
    if (afterName != std::string::npos &&
        std::sscanf(stat.c_str() + afterName + 1, " %*c %d", &parent) == 1 && parent == getpid()) {
      child = static_cast<pid_t>(std::atoi(entry->d_name));
      break;
    }
  }
  closedir(processes);
  return child;
}

std::string describeExit(const siginfo_t& info) {
  if (info.si_code == CLD_EXITED)
    return "exit code " + std::to_string(info.si_status);
  return std::string("signal ") + strsignal(info.si_status);
}

bool exited(pid_t pid, siginfo_t& info) {
  info = {};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

}  // namespace

Reports countReports(std::string_view errorText) {
  Reports reports;
  // Lines are told by what they say, not where they stand: the receiver may add lines of its own
  // (warnings, reasons) anywhere, the banner's among them.
  for (std::size_t start = 0; start < errorText.size();) {
    std::size_t end = errorText.find('\n', start);
    if (end == std::string_view::npos)
      break;  // a line still being written
    std::string_view line = errorText.substr(start, end - start);
    start = end + 1;
    if (line.ends_with('\r'))
      line.remove_suffix(1);
    if (line.starts_with("Incoming connection from "))
      ++reports.incoming;
    else if (line.starts_with("Connection from ") && line.ends_with(" closed"))
      ++reports.closed;
    else if (line.starts_with("Connection from ") && line.ends_with(" lost"))
      ++reports.lost;
    else if (line.starts_with("Socket read error: "))
      ++reports.readErrors;
    else
      ++reports.other;
  }
  return reports;
}

long statusKiB(std::string_view statusText, std::string_view name) {
  const std::size_t at = statusText.find(name);
  if (at == std::string_view::npos)
    return -1;
  return std::strtol(std::string(statusText.substr(at + name.size(), 32)).c_str(), nullptr, 10);
}

StressTarget::ErrorFile::ErrorFile() {
  descriptor = memfd_create("farspeak-stress-errors", MFD_CLOEXEC);
}

StressTarget::ErrorFile::~ErrorFile() {
  if (descriptor >= 0)
    close(descriptor);
}

TargetCommand StressTarget::command(const std::string& farspeak, OutputKind output,
                                    const ErrorFile& errors, int descriptorLimit) {
  // Close-on-exec keeps the file out of the launcher unless it is told of it, and the launcher is
  // the first program the child runs: it is made inheritable for that one exec.
  if (errors.descriptor >= 0)
    fcntl(errors.descriptor, F_SETFD, 0);
  TargetCommand command{"farspeak",
                        {selfPath(), std::string(launchOption), std::to_string(descriptorLimit),
                         std::to_string(errors.descriptor), farspeak, "-p", "0"}};
  command.errorFile = errors.descriptor;  // where the banner names the port
  if (output == OutputKind::tagged)
    command.arguments.emplace_back("--tag");
  return command;
}

StressTarget::StressTarget(const std::string& farspeak, OutputKind output, int descriptorLimit)
    : target_(command(farspeak, output, errors_, descriptorLimit), Capture::pipe) {
  if (errors_.descriptor >= 0)
    fcntl(errors_.descriptor, F_SETFD, FD_CLOEXEC);
  if (target_.listening())
    pid_ = onlyChild();
}

StressTarget::~StressTarget() {
  stop();
}

std::string StressTarget::errorText() const {
  std::string text;
  char chunk[65536];
  off_t offset = 0;
  for (ssize_t length; (length = pread(errors_.descriptor, chunk, sizeof chunk, offset)) > 0;) {
    text.append(chunk, static_cast<std::size_t>(length));
    offset += length;
  }
  return text;
}

long StressTarget::peakResidentKiB() const {
  return statusKiB(readFile("/proc/" + std::to_string(pid_) + "/status"), "VmHWM:");
}

long StressTarget::residentKiB() const {
  return statusKiB(readFile("/proc/" + std::to_string(pid_) + "/status"), "VmRSS:");
}

int StressTarget::openDescriptors() const {
  DIR* descriptors = opendir(("/proc/" + std::to_string(pid_) + "/fd").c_str());
  if (descriptors == nullptr)
    return -1;
  int count = 0;
  while (const dirent* entry = readdir(descriptors)) {
    if (entry->d_name[0] != '.')
      ++count;
  }
  closedir(descriptors);
  return count;
}

bool StressTarget::running(std::string* exit) const {
  siginfo_t info;
  if (pid_ <= 0 || !exited(pid_, info))
    return pid_ > 0;
  if (exit != nullptr)
    *exit = describeExit(info);
  return false;
}

void StressTarget::pause(bool paused) {
  if (pid_ > 0)
    kill(pid_, paused ? SIGSTOP : SIGCONT);
}

std::optional<int> StressTarget::stop(std::string* exit, double limitSeconds) {
  if (pid_ <= 0)
    return std::nullopt;
  // Target::stop reaps the process without looking at how it ended: wait for the exit here,
  // leaving it a zombie, and read it first.
  kill(pid_, SIGTERM);
  kill(pid_, SIGCONT);
  const double until = monotonicSeconds() + limitSeconds;
  siginfo_t info;
  bool ended = exited(pid_, info);
  while (!ended && monotonicSeconds() < until) {
    sleepSeconds(0.005);
    ended = exited(pid_, info);
  }
  std::optional<int> code;
  if (ended && info.si_code == CLD_EXITED)
    code = info.si_status;
  if (exit != nullptr)
    *exit = ended ? describeExit(info)
                  : "still running " + std::to_string(static_cast<int>(limitSeconds)) + " s later";
  target_.stop();
  pid_ = -1;
  return code;
}

int launch(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s %s LIMIT ERRORS PROGRAM [ARGUMENT...]\n", argv[0], argv[1]);
    return 2;
  }
  const int limit = std::atoi(argv[2]);
  const int errors = std::atoi(argv[3]);
  if (errors >= 0)
    dup2(errors, STDERR_FILENO);
  // The receiver counts its descriptors against the limit: it gets the three standard ones only.
  close_range(STDERR_FILENO + 1, ~0u, 0);
  if (limit > 0) {
    const rlimit descriptors{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
    if (setrlimit(RLIMIT_NOFILE, &descriptors) != 0) {
      std::perror("farspeak-stress: setrlimit");
      return 127;
    }
  }
  execv(argv[4], argv + 4);
  std::perror("farspeak-stress: exec");
  return 127;
}

}  // namespace farspeak::bench
