// A receiver under test (farspeak, or socat doing the same job), run as a child process that leads
// a process group of its own, with its standard output captured and its standard error kept.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace farspeak::bench {

inline constexpr std::uint16_t receiverPort = 52525;

struct TargetCommand {
  std::string name;  // as the report shows it
  std::vector<std::string> arguments;
  // Connections its listening socket queues; beyond that the kernel drops new ones or, with SYN
  // cookies, completes them on the client's side only and forgets them if they stay silent.
  std::size_t listenBacklog = 0;
};

enum class Capture {
  file,  // a file on /dev/shm (tmpfs), read back after the run
  pipe,  // a pipe that the bench reads as the output comes
};

class Target {
 public:
  // Starts the command and waits until it listens on receiverPort; listening() tells whether it
  // does. The capture files are unlinked at once and live on only through open descriptors.
  Target(const TargetCommand& command, Capture capture);
  // Stops the target if it still runs.
  ~Target();
  Target(const Target&) = delete;
  Target& operator=(const Target&) = delete;

  bool listening() const { return listening_; }
  // The read end of the output pipe (Capture::pipe) or of the output file (Capture::file).
  int output() const { return output_; }
  // Capture::file: the bytes written to standard output so far.
  std::uint64_t outputBytes() const;
  // The start of what the target wrote to standard error, for failure reports.
  std::string errorText() const;
  // CPU time used so far by every process of the target's group, in seconds.
  double cpuSeconds() const;
  // The most resident memory the target's first process has had, in MiB (VmHWM).
  double peakResidentMiB() const;

  // SIGTERM to the group, SIGKILL to what is left of it after a grace period, then the leader is
  // reaped. Captured output stays readable.
  void stop();

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  int error_ = -1;
  bool listening_ = false;
};

// Connections accepted by whatever listens on receiverPort: those established on the port, less
// those still waiting in the listening socket's queue.
std::size_t acceptedConnections();
// Waits until at least `count` connections are accepted, at most `limitSeconds`; returns the
// count it saw last.
std::size_t waitAccepted(std::size_t count, double limitSeconds);
bool portListening();
// Connections waiting in the listening socket's queue; much cheaper than acceptedConnections.
std::size_t queuedConnections();

}  // namespace farspeak::bench
