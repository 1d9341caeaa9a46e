#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "plinth/platform/native.h"
#include "plinth/text/utf8.h"

namespace plinth::platform::native {
namespace {

// Requests closer together than this are one: a key press may arrive as two signals, the
// terminal's to the process group and one that a wrapper passes on.
constexpr std::int64_t sameRequest = 500'000'000;  // nanoseconds
// A write to standard output that takes nothing for this long after a stop request is blocked.
constexpr int blockedAfter = 100;  // milliseconds

volatile sig_atomic_t stopFlag = 0;
// The stop wake: the signal handler writes a byte, a readiness wait sees it.
int wakeReader = -1;
int wakeWriter = -1;
std::atomic<std::int64_t> firstRequestAt{0};  // lock-free, so a signal handler may use it
std::atomic<bool> blockedWarningGiven{false};
int lastOutputError = 0;

std::int64_t nowNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);                               // async-signal-safe
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec + 1;  // never 0
}

// A first request stops the program in order, writing what it holds; a second, once the first
// has had its half second, ends it at once, as if no handler were there.
void onStopSignal(int signal) {
  const std::int64_t now = nowNanoseconds();
  std::int64_t first = 0;
  if (firstRequestAt.compare_exchange_strong(first, now) || now - first < sameRequest) {
    requestStop();
    return;
  }
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  sigemptyset(&standard.sa_mask);
  sigaction(signal, &standard, nullptr);
  raise(signal);
}

// Says once that standard output takes nothing more: whatever is held for it cannot be written,
// and only a second request ends the program.
void warnOutputBlocked() {
  if (blockedWarningGiven.exchange(true))
    return;
  static const char warning[] =
      "farspeak: standard output is blocked; stopping once it takes what is held. Ask again "
      "(Ctrl+C or SIGTERM) to end at once.\r\n";
  writeStandardError(warning, sizeof warning - 1);
}

// A stop request cut a write to standard output short: if it then takes nothing for a while, it is
// blocked, and the user is told how to end at once.
void warnIfOutputBlocked() {
  pollfd room{STDOUT_FILENO, POLLOUT, 0};
  if (::poll(&room, 1, blockedAfter) == 0)
    warnOutputBlocked();
}

// One call writes every byte of every range, gathered, at most IOV_MAX ranges a system call: the
// kernel may take a part, be interrupted by a signal, or (on a descriptor a parent made
// non-blocking) have no room for now, which is waited out.
bool writeEveryByte(int descriptor, const ByteRange* ranges, std::size_t count) {
  std::vector<iovec> parts;
  for (std::size_t range = 0; range < count; ++range) {
    if (ranges[range].count > 0)
      parts.push_back({const_cast<void*>(ranges[range].bytes), ranges[range].count});
  }
  for (std::size_t next = 0; next < parts.size();) {
    const int batch = static_cast<int>(std::min<std::size_t>(parts.size() - next, IOV_MAX));
    const ssize_t written = ::writev(descriptor, &parts[next], batch);
    if (written >= 0) {
      // Past what was taken; a part taken in part starts where it was cut.
      for (auto left = static_cast<std::size_t>(written); left > 0;) {
        const std::size_t taken = std::min(left, parts[next].iov_len);
        parts[next].iov_base = static_cast<char*>(parts[next].iov_base) + taken;
        parts[next].iov_len -= taken;
        left -= taken;
        next += parts[next].iov_len == 0 ? 1 : 0;
      }
      // A signal ends a write early, with what went before it written.
      if (next < parts.size() && stopRequested() && descriptor == STDOUT_FILENO)
        warnIfOutputBlocked();
      continue;
    }
    int error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK) {
      pollfd room{descriptor, POLLOUT, 0};
      if (::poll(&room, 1, -1) >= 0)
        continue;
      error = errno;
    }
    if (error != EINTR) {
      errno = error;
      return false;
    }
    if (stopRequested() && descriptor == STDOUT_FILENO)
      warnIfOutputBlocked();
  }
  return true;
}

// Makes the wake pipe once, and empties it of any earlier request.
void prepareStopWake() {
  int ends[2];
  if (wakeReader < 0 && pipe(ends) == 0) {
    for (const int end : ends) {
      fcntl(end, F_SETFD, FD_CLOEXEC);
      fcntl(end, F_SETFL, fcntl(end, F_GETFL) | O_NONBLOCK);
    }
    wakeReader = ends[0];
    wakeWriter = ends[1];
  }
  char bytes[64];
  while (wakeReader >= 0 && read(wakeReader, bytes, sizeof bytes) > 0) {
  }
}

}  // namespace

bool writeStandardOutput(const ByteRange* ranges, std::size_t count) {
  if (writeEveryByte(STDOUT_FILENO, ranges, count))
    return true;
  lastOutputError = errno;
  return false;
}

bool writeErrorStream(const void* bytes, std::size_t count) {
  const ByteRange all{bytes, count};
  return writeEveryByte(STDERR_FILENO, &all, 1);
}

std::string standardOutputFailure() {
  return std::strerror(lastOutputError);
}

bool writeConsole(const char16_t* units, std::uint32_t count) {
  // A terminal on standard output is this system's console; anything else is not one, and the
  // caller ignores the failure as it would a redirected Windows console.
  if (isatty(STDOUT_FILENO) == 0)
    return false;
  // appendUtf8 stops at a NUL, but the console takes every unit: convert between the NULs.
  std::string text;
  std::uint32_t start = 0;
  for (std::uint32_t unit = 0; unit < count; ++unit) {
    if (units[unit] == 0) {
      appendUtf8(units + start, text, unit - start);
      text += '\0';
      start = unit + 1;
    }
  }
  appendUtf8(units + start, text, count - start);
  const ByteRange all{text.data(), text.size()};
  return writeEveryByte(STDOUT_FILENO, &all, 1);
}

bool standardOutputTakesColour() {
  return isatty(STDOUT_FILENO) != 0;
}

void installStopHandler() {
  prepareStopWake();
  stopFlag = 0;
  firstRequestAt = 0;
  blockedWarningGiven = false;
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked write to standard output should notice
  sigaction(SIGTERM, &action, nullptr);
  // An interrupt, a closed terminal or a dropped ssh session stops the program too, unless it was
  // started to outlive them (a shell ignores SIGINT for a background job, nohup SIGHUP).
  for (const int signal : {SIGINT, SIGHUP}) {
    struct sigaction inherited {};
    if (sigaction(signal, nullptr, &inherited) == 0 && inherited.sa_handler != SIG_IGN)
      sigaction(signal, &action, nullptr);
  }
}

void requestStop() {
  stopFlag = 1;
  if (wakeWriter < 0)
    return;
  const int saved = errno;  // a signal handler must leave errno as it found it
  const char byte = 0;
  [[maybe_unused]] const ssize_t written = write(wakeWriter, &byte, 1);  // full: already awake
  errno = saved;
}

bool stopRequested() {
  return stopFlag != 0;
}

SocketHandle stopWake() {
  return wakeReader < 0 ? invalidSocket : static_cast<SocketHandle>(wakeReader);
}

}  // namespace plinth::platform::native
