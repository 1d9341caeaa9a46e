#include <winsock2.h>
// after winsock2.h, which must come first
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <string_view>

#include "plinth/platform/native.h"
#include "plinth/text/utf8.h"

namespace plinth::platform::native {
namespace {

// Requests closer together than this are one: a key press may arrive twice.
constexpr ULONGLONG sameRequest = 500;  // milliseconds

std::atomic<bool> stopFlag{false};
std::atomic<ULONGLONG> firstRequestAt{0};
std::atomic<bool> writingOutput{false};  // a write to standard output is under way
std::atomic<unsigned> outputWrites{0};   // how many have begun
constexpr int blockedAfter = 100;        // milliseconds
std::atomic<bool> blockedWarningGiven{false};
int lastOutputError = 0;

// Says once that standard output takes nothing more, from the handler's own thread: the main
// thread is held in its write. A write still under way a while after the request is blocked; one
// that ends meanwhile was merely slow.
void warnOutputBlocked() {
  const unsigned write = outputWrites;
  for (int waited = 0; waited < blockedAfter && writingOutput && outputWrites == write;
       waited += 10) {
    Sleep(10);
  }
  if (!writingOutput || outputWrites != write || blockedWarningGiven.exchange(true))
    return;
  static const char warning[] =
      "farspeak: standard output is blocked; stopping once it takes what is held. Press Ctrl+C "
      "again to end at once.\r\n";
  writeStandardError(warning, sizeof warning - 1);
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

// A stream that is a console, and the part of a UTF-8 sequence its last write cut.
struct ConsoleStream {
  explicit ConsoleStream(DWORD which) : handle(GetStdHandle(which)) {
    DWORD mode = 0;
    isConsole =
        handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode);
  }

  HANDLE handle;
  bool isConsole = false;
  Utf8Decoder decoder;
};

ConsoleStream& consoleOutput() {
  static ConsoleStream stream(STD_OUTPUT_HANDLE);
  return stream;
}

ConsoleStream& consoleError() {
  static ConsoleStream stream(STD_ERROR_HANDLE);
  return stream;
}

// A console shows bytes in its output code page, which is rarely UTF-8; its wide-character call
// shows them as they are meant. The code page itself is left alone: every program on the console
// shares it, and a forced stop would leave it changed. `lineEnds` writes each LF as CR LF, as the
// runtime's text mode would.
bool writeToConsole(ConsoleStream& stream, std::string_view bytes, bool lineEnds) {
  std::u16string units;
  stream.decoder.decode(bytes, units);
  if (lineEnds) {
    std::u16string withReturns;
    withReturns.reserve(units.size() + units.size() / 8);
    for (const char16_t unit : units) {
      if (unit == u'\n')
        withReturns += u'\r';
      withReturns += unit;
    }
    units.swap(withReturns);
  }
  const auto* next = reinterpret_cast<const wchar_t*>(units.data());
  std::size_t count = units.size();
  while (count > 0) {
    const DWORD piece = count > 16384 ? 16384 : static_cast<DWORD>(count);
    DWORD written = 0;
    if (!WriteConsoleW(stream.handle, next, piece, &written, nullptr) || written == 0)
      return false;
    next += written;
    count -= written;
  }
  return true;
}

// The stop wake: a loopback connection, made once the socket library has started, since WSAPoll
// waits only on sockets. The console handler sends a byte on one end; a readiness wait watches the
// other.
std::atomic<SOCKET> wakeSender{INVALID_SOCKET};
SOCKET wakeReceiver = INVALID_SOCKET;

void drainStopWake() {
  char bytes[64];
  while (wakeReceiver != INVALID_SOCKET && ::recv(wakeReceiver, bytes, sizeof bytes, 0) > 0) {
  }
}

void prepareStopWake() {
  const SOCKET listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  SOCKET sender = INVALID_SOCKET;
  SOCKET receiver = INVALID_SOCKET;
  if (listener != INVALID_SOCKET &&
      ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::listen(listener, 1) == 0 &&
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    sender = ::socket(AF_INET, SOCK_STREAM, 0);
    if (sender != INVALID_SOCKET &&
        ::connect(sender, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      receiver = ::accept(listener, nullptr, nullptr);
    }
  }
  if (listener != INVALID_SOCKET)
    closesocket(listener);
  u_long nonBlocking = 1;
  if (receiver == INVALID_SOCKET || ioctlsocket(receiver, FIONBIO, &nonBlocking) != 0) {
    if (sender != INVALID_SOCKET)
      closesocket(sender);
    if (receiver != INVALID_SOCKET)
      closesocket(receiver);
    return;  // no wake: a stop is then seen at the latest when a wait's time is up
  }
  wakeReceiver = receiver;
  wakeSender = sender;
  if (stopFlag)
    requestStop();  // a request that came before the wake existed
}

// One range: to a console through its wide-character call, otherwise through the C runtime.
bool writeOutputRange(const void* bytes, std::size_t count) {
  ++outputWrites;
  if (consoleOutput().isConsole) {
    writingOutput = true;
    const bool written =
        writeToConsole(consoleOutput(), {static_cast<const char*>(bytes), count}, true);
    lastOutputError = written ? 0 : EIO;
    writingOutput = false;
    return written;
  }
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

}  // namespace

bool writeStandardOutput(const ByteRange* ranges, std::size_t count) {
  for (std::size_t range = 0; range < count; ++range) {
    if (!writeOutputRange(ranges[range].bytes, ranges[range].count))
      return false;
  }
  return true;
}

std::string standardOutputFailure() {
  return std::strerror(lastOutputError);  // a C runtime code: the write is the runtime's
}

bool writeErrorStream(const void* bytes, std::size_t count) {
  // Straight to the handle: console text already carries its CR LF and must not be translated.
  if (consoleError().isConsole)
    return writeToConsole(consoleError(), {static_cast<const char*>(bytes), count}, false);
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
  drainStopWake();
  SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

void requestStop() {
  stopFlag = true;
  const SOCKET sender = wakeSender;
  if (sender != INVALID_SOCKET) {
    const char byte = 0;
    ::send(sender, &byte, 1, 0);
  }
}

bool stopRequested() {
  return stopFlag;
}

SocketHandle stopWake() {
  if (wakeReceiver == INVALID_SOCKET)
    prepareStopWake();
  return wakeReceiver == INVALID_SOCKET ? invalidSocket : static_cast<SocketHandle>(wakeReceiver);
}

}  // namespace plinth::platform::native
