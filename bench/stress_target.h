// farspeak under the stress suite: a fresh process for each scenario, its standard output a pipe
// that the suite reads as a byte stream, its standard error a file the suite reads back, and when
// asked a low limit of open descriptors. It is started through the suite's own binary (see
// launch), so that the bench's Target still runs it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bench/target.h"

namespace farspeak::bench {

// How the receiver is asked to write its standard output. Its writes gather the lines and pieces
// of many clients, so where a write ends tells nothing: only the output lines do.
enum class OutputKind {
  plain,   // no option, as users see it by default: lines, and pieces ended by a line feed
  tagged,  // --tag: each piece on an output line of its own, naming its client
};

// What the receiver reported on standard error.
struct Reports {
  std::size_t incoming = 0;    // "Incoming connection from ..."
  std::size_t closed = 0;      // "Connection from ... closed"
  std::size_t lost = 0;        // "Connection from ... lost"
  std::size_t readErrors = 0;  // "Socket read error: ..."
  std::size_t other = 0;       // any other line: the banner, warnings

  std::size_t ended() const { return closed + lost; }
};

Reports countReports(std::string_view errorText);
// A figure of a /proc/<pid>/status text, such as "VmHWM:", in KiB; -1 when there is none.
long statusKiB(std::string_view statusText, std::string_view name);

class StressTarget {
 public:
  // Starts `farspeak` and waits until it listens; listening() tells whether it does.
  // `descriptorLimit`, when not 0, is its soft and hard limit of open descriptors.
  StressTarget(const std::string& farspeak, OutputKind output, int descriptorLimit = 0);
  ~StressTarget();
  StressTarget(const StressTarget&) = delete;
  StressTarget& operator=(const StressTarget&) = delete;

  bool listening() const { return target_.listening() && pid_ > 0; }
  // The port it listens on, which it picked itself (-p 0).
  std::uint16_t port() const { return target_.port(); }
  // The suite's end of standard output, a pipe.
  int output() const { return target_.output(); }
  std::string errorText() const;
  Reports reports() const { return countReports(errorText()); }

  long peakResidentKiB() const;
  long residentKiB() const;
  int openDescriptors() const;  // -1 when it cannot be read
  double cpuSeconds() const { return target_.cpuSeconds(); }
  // Whether it still runs; `exit` describes how it ended otherwise.
  bool running(std::string* exit = nullptr) const;

  // Holds the process still (SIGSTOP), or lets it go on (SIGCONT).
  void pause(bool paused);

  // SIGTERM (and SIGCONT, should it be paused), then its exit: the exit code, or nothing when it
  // did not exit with one within `limitSeconds` (it was killed, or ended by a signal; `exit` says
  // which).
  std::optional<int> stop(std::string* exit = nullptr, double limitSeconds = 5.0);

 private:
  // Standard error, made before the child starts: a memory file that the child writes to through
  // a copy of the same open file.
  struct ErrorFile {
    ErrorFile();
    ~ErrorFile();
    int descriptor = -1;
  };

  static TargetCommand command(const std::string& farspeak, OutputKind output,
                               const ErrorFile& errors, int descriptorLimit);

  ErrorFile errors_;
  Target target_;
  pid_t pid_ = -1;
};

// The launcher side: `farspeak-stress --launch LIMIT ERRORS PROGRAM [ARGUMENT...]` puts descriptor
// ERRORS on standard error, closes every other descriptor above standard error, sets the limit
// (when not 0) and runs PROGRAM with the arguments in its place. Returns only when that fails.
int launch(int argc, char** argv);
inline constexpr std::string_view launchOption = "--launch";

}  // namespace farspeak::bench
