#include <io.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

#include "plinth/platform/native.h"
#include "plinth/platform/win32/readiness.h"

namespace plinth::platform::native {
namespace {

// Requests closer together than this are one: a key press may arrive twice.
constexpr ULONGLONG sameRequest = 500;  // milliseconds

std::atomic<bool> stopFlag{false};
std::atomic<ULONGLONG> firstRequestAt{0};
std::atomic<bool> writingOutput{false};  // a write to standard output is under way
std::atomic<bool> blockedWarningGiven{false};
int lastOutputError = 0;

// Says once that standard output takes nothing more, from the handler's own thread: the main
// thread is held in its write.
void warnOutputBlocked() {
  if (!writingOutput || blockedWarningGiven.exchange(true))
    return;
  static const char warning[] =
      "farspeak: standard output is blocked; stopping once it takes what is held. Press Ctrl+C "
      "again to end at once.\r\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), warning, sizeof warning - 1, &written, nullptr);
}

// A first request stops the program in order, writing what it holds; a second, once the first has
// had its half second, is left to Windows, which ends the program at once.
BOOL WINAPI onConsoleControl(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT: {
      const ULONGLONG now = GetTickCount64();
      ULONGLONG first = 0;
      if (!firstRequestAt.compare_exchange_strong(first, now) && now - first >= sameRequest)
        return FALSE;
      requestStop();
      warnOutputBlocked();
      return TRUE;
    }
    case CTRL_CLOSE_EVENT:
      // Windows ends the process as soon as this handler returns; wait so that the main loop can
      // write what its clients delivered and return from main, which ends the process itself.
      requestStop();
      Sleep(4500);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

bool writeStandardOutput(const void* bytes, std::size_t count) {
  // The C runtime's write, so standard output keeps the runtime's text mode (LF becomes CR LF).
  writingOutput = true;
  const auto* next = static_cast<const char*>(bytes);
  while (count > 0) {
    const unsigned piece = count > INT_MAX ? INT_MAX : static_cast<unsigned>(count);
    const int written = _write(1, next, piece);
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0) {
      lastOutputError = written < 0 ? errno : ENOSPC;  // a write that takes nothing: a full disk
      writingOutput = false;
      return false;
    }
    next += written;
    count -= static_cast<std::size_t>(written);
  }
  writingOutput = false;
  return true;
}

std::string standardOutputFailure() {
  return std::strerror(lastOutputError);  // a C runtime code: the write is the runtime's
}

bool writeStandardError(const void* bytes, std::size_t count) {
  // Straight to the handle: console text already carries its CR LF and must not be translated.
  HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr)
    return false;
  const auto* next = static_cast<const char*>(bytes);
  while (count > 0) {
    const DWORD piece = count > MAXDWORD ? MAXDWORD : static_cast<DWORD>(count);
    DWORD written = 0;
    if (!WriteFile(handle, next, piece, &written, nullptr) || written == 0)
      return false;
    next += written;
    count -= written;
  }
  return true;
}

bool writeConsole(const char16_t* units, std::uint32_t count) {
  HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
  if (handle == INVALID_HANDLE_VALUE)
    return false;
  DWORD written = 0;
  return WriteConsoleW(handle, reinterpret_cast<const wchar_t*>(units), count, &written, nullptr) !=
         0;
}

bool standardOutputTakesColour() {
  // A console shows colour escapes once it is in virtual-terminal mode; a file or pipe is no
  // console, and an older console refuses the mode.
  HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) &&
         ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
          SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING));
}

void installStopHandler() {
  stopFlag = false;
  firstRequestAt = 0;
  blockedWarningGiven = false;
  SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

void requestStop() {
  stopFlag = true;
  readiness::wake();
}

bool stopRequested() {
  return stopFlag;
}

}  // namespace plinth::platform::native
