// A receiver under test (farspeak, or socat doing the same job), run as a child process that leads
// a process group of its own, with its standard output captured and its standard error kept.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace farspeak::bench {

struct TargetCommand {
  std::string name;  // as the report shows it
  // The program and its arguments. "{port}" in an argument stands for a port found free for each
  // start; a command without it is farspeak with -p 0, and its banner names the port it took.
  std::vector<std::string> arguments;
  // Connections its listening socket queues; beyond that the kernel drops new ones or, with SYN
  // cookies, completes them on the client's side only and forgets them if they stay silent.
  std::size_t listenBacklog = 0;
  // Where the program's standard error can be read when not in the target's own file (the stress
  // suite's launcher moves it); -1: the target's own.
  int errorFile = -1;
};

enum class Capture {
  file,  // a file on /dev/shm (tmpfs), read back after the run
  pipe,  // a pipe that the bench reads as the output comes
};

class Target {
 public:
  // Starts the command and waits until it listens; listening() tells whether it does, port() on
  // which port. The capture files are unlinked at once and live on only through open descriptors.
  Target(const TargetCommand& command, Capture capture);
  // Stops the target if it still runs.
  ~Target();
  Target(const Target&) = delete;
  Target& operator=(const Target&) = delete;

  bool listening() const { return listening_; }
  std::uint16_t port() const { return port_; }
  // The read end of the output pipe (Capture::pipe) or of the output file (Capture::file).
  int output() const { return output_; }
  // Capture::file: the bytes written to standard output so far.
  std::uint64_t outputBytes() const;
  // The start of what the target wrote to standard error, for failure reports.
  std::string errorText() const;
  // The lines it has written to standard error so far.
  std::size_t errorLines() const;
  // CPU time used so far by every process of the target's group, in seconds.
  double cpuSeconds() const;
  // The most resident memory the target's first process has had, in MiB (VmHWM).
  double peakResidentMiB() const;

  // Connections it has accepted: those established on its port, less those still waiting in its
  // listening socket's queue.
  std::size_t acceptedConnections() const;
  // Waits until at least `count` connections are accepted, at most `limitSeconds`; returns the
  // count it saw last.
  std::size_t waitAccepted(std::size_t count, double limitSeconds) const;
  // Connections waiting in its listening socket's queue; much cheaper than acceptedConnections.
  std::size_t queuedConnections() const;

  // SIGTERM to the group, SIGKILL to what is left of it after a grace period, then the leader is
  // reaped. Captured output stays readable.
  void stop();

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  int error_ = -1;
  std::uint16_t port_ = 0;
  bool listening_ = false;
};

}  // namespace farspeak::bench
