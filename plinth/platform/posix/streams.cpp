#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "plinth/platform/native.h"
#include "plinth/platform/posix/readiness.h"
#include "plinth/text/utf8.h"

namespace plinth::platform::native {
namespace {

volatile sig_atomic_t stopFlag = 0;

void onStopSignal(int) {
  requestStop();
}

// One call writes every byte: the kernel may take a part, or be interrupted by a signal.
bool writeAll(int descriptor, const void* bytes, std::size_t count) {
  const auto* next = static_cast<const char*>(bytes);
  while (count > 0) {
    const ssize_t written = ::write(descriptor, next, count);
    if (written < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    next += written;
    count -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

bool writeStandardOutput(const void* bytes, std::size_t count) {
  return writeAll(STDOUT_FILENO, bytes, count);
}

bool writeStandardError(const void* bytes, std::size_t count) {
  return writeAll(STDERR_FILENO, bytes, count);
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
  return writeAll(STDOUT_FILENO, text.data(), text.size());
}

bool standardOutputTakesColour() {
  return isatty(STDOUT_FILENO) != 0;
}

void installStopHandler() {
  readiness::prepareStopWake();
  stopFlag = 0;
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked write to standard output should notice
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void requestStop() {
  stopFlag = 1;
  readiness::wake();
}

bool stopRequested() {
  return stopFlag != 0;
}

}  // namespace plinth::platform::native
