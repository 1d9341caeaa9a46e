#include <io.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <climits>

#include "plinth/platform/native.h"
#include "plinth/platform/win32/readiness.h"

namespace plinth::platform::native {
namespace {

std::atomic<bool> stopFlag{false};

BOOL WINAPI onConsoleControl(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      requestStop();
      return TRUE;
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
  const auto* next = static_cast<const char*>(bytes);
  while (count > 0) {
    const unsigned piece = count > INT_MAX ? INT_MAX : static_cast<unsigned>(count);
    const int written = _write(1, next, piece);
    if (written < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    if (written == 0)
      return false;
    next += written;
    count -= static_cast<std::size_t>(written);
  }
  return true;
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
