#include "tests/support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace test_support {
namespace {

// A new empty file in the temporary folder, open for writing and closed on exec; -1 on failure.
int makeTemporaryFile(std::string& path) {
  const char* folder = std::getenv("TMPDIR");
  path =
      std::string(folder != nullptr && *folder != 0 ? folder : "/tmp") + "/farspeak-child-XXXXXX";
  const int descriptor = mkostemp(path.data(), O_CLOEXEC);
  if (descriptor < 0)
    path.clear();
  return descriptor;
}

// The code a shell would show: the exit status, or 128 and the signal that ended the child.
int exitCode(int status) {
  if (WIFEXITED(status))
    return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

}  // namespace

struct ChildProcess::Native {
  pid_t pid = -1;
  std::optional<int> exitCode;  // set once the child has been waited for
};

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           ErrorStream errorStream, int standardOutput, int standardError)
    : native_(std::make_unique<Native>()) {
  const int output = standardOutput >= 0 ? standardOutput : makeTemporaryFile(outputPath_);
  int error = output;
  errorPath_ = outputPath_;
  if (standardError >= 0) {
    error = standardError;
    errorPath_.clear();
  } else if (errorStream == ErrorStream::ownFile || standardOutput >= 0) {
    error = makeTemporaryFile(errorPath_);
  }

  if (output >= 0 && error >= 0) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, error, STDERR_FILENO);

    // The child starts with default signal handling whatever the test runner ignores or blocks,
    // so that SIGTERM reaches the program's own handler.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&native_->pid, program.c_str(), &actions, &attributes, argv.data(), environ) !=
        0)
      native_->pid = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
  }
  if (output >= 0 && output != standardOutput)
    close(output);
  if (error >= 0 && error != output && error != standardError)
    close(error);
}

ChildProcess::~ChildProcess() {
  const bool running = started() && !native_->exitCode;
  if (running && !(requestStop() && waitForExit(std::chrono::seconds(5)).has_value())) {
    ::kill(native_->pid, SIGKILL);
    int status = 0;
    while (waitpid(native_->pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (!outputPath_.empty())
    unlink(outputPath_.c_str());
  if (!errorPath_.empty() && errorPath_ != outputPath_)
    unlink(errorPath_.c_str());
}

bool ChildProcess::started() const {
  return native_->pid > 0;
}

bool ChildProcess::requestStop() {
  return started() && !native_->exitCode && ::kill(native_->pid, SIGTERM) == 0;
}

void ChildProcess::kill() {
  if (started() && !native_->exitCode)
    ::kill(native_->pid, SIGKILL);
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds limit) {
  if (!started() || native_->exitCode)
    return native_->exitCode;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t result = waitpid(native_->pid, &status, WNOHANG);
    if (result == native_->pid) {
      native_->exitCode = exitCode(status);
      return native_->exitCode;
    }
    if (result < 0 && errno != EINTR)
      return std::nullopt;
    if (std::chrono::steady_clock::now() >= deadline)
      return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string undoTextMode(const std::string& written) {
  return written;  // standard output is a plain byte stream here
}

bool runningUnderWine() {
  return false;
}

}  // namespace test_support
