// The platform layer: every operating-system service the library uses, and nothing else.
//
// Library code calls `platform::services.name(...)`: one indirect call through the process-wide
// table, which holds the real implementation for the operating system the program was built for
// (plinth/platform/posix or plinth/platform/win32). A test replaces a single entry for its own
// duration with `ServiceOverride` (see the end of this file).
//
// The services keep the shape of the Windows calls they stand for: what is passed and what the
// caller relies on. Each implementation maps its own system onto that shape, so the library above
// reads the same on every system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace plinth::platform {

// A socket as the system numbers it; `invalidSocket` when there is none.
using SocketHandle = std::uintptr_t;
inline constexpr SocketHandle invalidSocket = ~SocketHandle{0};

// An auto-reset event: set lets exactly one waiter through, or the next one to arrive.
using EventHandle = void*;

enum class PollDirection { readable, writable };

// The outcome of one zero-time readiness poll of one socket, as a select with the socket in one
// direction's set and in the exception set reports it.
struct PollResult {
  bool failed = false;     // the poll itself failed (select returned -1)
  bool exception = false;  // the socket is in the exception set
  bool ready = false;      // the socket is in the asked direction's set
};

enum class ShutdownDirection { receive, send };

// What a socket error code means, where the caller does more than report the code.
enum class SocketErrorKind { other, addressInUse, descriptorLimit, wouldBlock };

// A set of watched sockets for a loop's readiness wait; made by openReadinessSet.
using ReadinessSet = void*;

// A watched socket a wait found ready, as its watcher; `ended` when the system says its peer has
// ended the stream (or it failed): what came before the end is still there to be read.
struct ReadyWatcher {
  void* watcher = nullptr;
  bool ended = false;
};

// Bytes to write, one of several that go out together.
struct ByteRange {
  const void* bytes = nullptr;
  std::size_t count = 0;
};

enum class AddressFamily { ipv4, ipv6 };

// An IPv4 or IPv6 address with a port, as sockets take and give them.
struct SocketAddress {
  AddressFamily family = AddressFamily::ipv4;
  std::uint8_t bytes[16] = {};  // in network order; IPv4 uses the first four
  std::uint32_t scope = 0;      // IPv6: the interface a link-local address belongs to
  std::uint16_t port = 0;

  bool operator==(const SocketAddress&) const = default;
};

// Every address of a family (0.0.0.0, ::), and its loopback address (127.0.0.1, ::1).
inline SocketAddress anyAddress(AddressFamily family, std::uint16_t port) {
  return {.family = family, .port = port};
}
inline bool isAnyAddress(const SocketAddress& address) {
  return address == anyAddress(address.family, address.port);
}
inline SocketAddress loopbackAddress(AddressFamily family, std::uint16_t port) {
  SocketAddress address{.family = family, .port = port};
  if (family == AddressFamily::ipv4)
    address.bytes[0] = 127, address.bytes[3] = 1;
  else
    address.bytes[15] = 1;
  return address;
}

// The local date and time, to the millisecond, and how far local time is ahead of UTC.
struct TimeOfDay {
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  int year = 0;
  int month = 0;  // 1 to 12
  int day = 0;    // 1 to 31
  int utcOffsetMinutes = 0;
};

struct Services {
  // Memory: malloc, realloc and free. Failure is a null result.
  void* (*allocate)(std::size_t bytes);
  void* (*reallocate)(void* block, std::size_t bytes);
  void (*release)(void* block);
  // Hands the heap's free memory back to the system, so that the process shrinks after a peak.
  void (*trimMemory)();

  // Time and scheduling.
  void (*sleep)(std::uint32_t milliseconds);           // Sleep
  void (*yieldProcessor)();                            // SwitchToThread
  std::uint64_t (*tickCount)();                        // GetTickCount64: milliseconds, never 0
  bool (*performanceFrequency)(std::int64_t* counts);  // QueryPerformanceFrequency
  bool (*performanceCounter)(std::int64_t* count);     // QueryPerformanceCounter
  std::uint64_t (*timeStampCounter)();                 // the processor's rdtsc
  TimeOfDay (*localTime)();                            // GetLocalTime

  // Threads and events.
  std::uint32_t (*currentThreadId)();                                // GetCurrentThreadId: never 0
  EventHandle (*createEvent)();                                      // auto-reset, not signalled
  bool (*waitEvent)(EventHandle event, std::uint32_t milliseconds);  // true when signalled
  void (*setEvent)(EventHandle event);
  void (*closeEvent)(EventHandle event);

  // Standard streams and the console. Writes to standard output are unbuffered and write every
  // byte of every range, in order, before they return (as few system calls as the system allows;
  // partial writes and interruptions are retried); false when the stream fails. Standard error is
  // written at once, as start-up and usage messages want, until `queueStandardError`: from then on
  // it never waits, and its text goes whole messages at a time (through their LF) to a thread
  // that writes them, within 64 KiB queued; a message that does not fit is dropped and counted,
  // and the count said in its place. At exit the queue gets half a second, and so it does at
  // `finishStandardError`, for a program about to end without exiting.
  bool (*writeStandardOutput)(const ByteRange* ranges, std::size_t count);
  bool (*writeStandardError)(const void* bytes, std::size_t count);
  void (*queueStandardError)();
  void (*finishStandardError)();
  // What went wrong with the last failed write to standard output, in the system's words.
  std::string (*standardOutputFailure)();
  bool (*writeConsole)(const char16_t* units, std::uint32_t count);  // WriteConsoleW
  // Whether standard output is a terminal that shows colour escapes (on Windows, a console that
  // has taken virtual-terminal mode).
  bool (*standardOutputTakesColour)();

  // The user's locale. Item numbers are the Windows LOCALE_* numbers. Results count the units or
  // bytes stored including the terminator; 0 is a failure (GetLocaleInfoW, GetLocaleInfoA).
  int (*localeText)(std::uint32_t item, char16_t* buffer, int size);
  int (*localeNarrowText)(std::uint32_t item, char* buffer, int size);
  bool (*setRuntimeLocale)(const char* name);  // setlocale(LC_ALL, name) succeeded
  // An argument of the command line as the user typed it: its bytes are UTF-8 on POSIX and in
  // the ANSI code page on Windows (as main receives them). Bytes that are no text in it become a
  // replacement character.
  std::u16string (*argumentText)(const char* argument);

  // Sockets. Error codes are the system's own (WSAGetLastError, errno).
  int (*startSockets)();  // 0 when the socket library is usable, else its error code
  int (*lastSocketError)();
  std::string (*socketErrorText)(int code);  // in the system's words
  SocketErrorKind (*socketErrorKind)(int code);
  // The most sockets and files the process may hold open at once; 0 where no such limit shows.
  std::uint64_t (*descriptorLimit)();
  SocketHandle (*openStreamSocket)(AddressFamily family);  // TCP
  // To the address and its port. An IPv6 socket takes IPv6 clients only.
  bool (*bindAddress)(SocketHandle socket, const SocketAddress& address);
  bool (*listen)(SocketHandle socket);  // with the largest backlog the system allows
  bool (*localPort)(SocketHandle socket, std::uint16_t* port);       // getsockname
  PollResult (*poll)(SocketHandle socket, PollDirection direction);  // zero time limit
  // The accepted socket does not block: a receive with nothing there fails with an error that
  // socketErrorKind calls wouldBlock. Urgent data comes in its stream, in order, like any byte.
  SocketHandle (*accept)(SocketHandle listener, SocketAddress* peer);
  int (*receive)(SocketHandle socket, void* buffer, int count);  // -1 error, 0 end of stream
  // Bytes that have arrived and wait to be received (FIONREAD); 0 on failure. Windows may say
  // only what one receive would take.
  std::size_t (*bytesWaiting)(SocketHandle socket);
  int (*send)(SocketHandle socket, const void* bytes, int count);  // -1 error
  bool (*shutdown)(SocketHandle socket, ShutdownDirection direction);
  bool (*setLinger)(SocketHandle socket, std::uint16_t seconds);
  bool (*closeSocket)(SocketHandle socket);
  // Addresses as text and back: "127.0.0.1", "::1", "fe80::1%eth0" (an IPv4 address that an IPv6
  // socket gives shows as IPv4). `numericAddress` reads only such text; `resolveName` asks the
  // system for every address a name stands for, and says why there is none.
  std::string (*addressText)(const SocketAddress& address);
  bool (*numericAddress)(const char* text, SocketAddress* address);
  std::vector<SocketAddress> (*resolveName)(const char* name, std::string* failure);

  // Readiness for a loop that serves many sockets on one thread: a set of watched sockets (epoll on
  // Linux, WSAPoll on Windows, poll(2) where the build asks for it), each with the watcher it was
  // watched for, which the wait hands back. A watcher unwatches its socket before closing it. Only
  // the loop's thread uses a set. `openReadinessSet` gives nothing when the system has no set to
  // give.
  ReadinessSet (*openReadinessSet)();
  void (*closeReadinessSet)(ReadinessSet set);
  // Watches `socket` for `watcher`, or for a new watcher if it is watched.
  bool (*watchSocket)(ReadinessSet set, SocketHandle socket, void* watcher);
  void (*unwatchSocket)(ReadinessSet set, SocketHandle socket);
  // Waits until a watched socket has something to say (a connection, data, an end, a reset or an
  // error), at most `milliseconds` (0: only looks; negative: no limit), and puts the watchers of
  // the sockets found ready in `ready`, in no particular order. False when the system could not
  // say, for a reason other than an interruption; `lastSocketError` then tells why.
  bool (*waitForReadiness)(ReadinessSet set, std::int32_t milliseconds,
                           std::vector<ReadyWatcher>& ready);

  // Host identity.
  bool (*hostName)(char* buffer, int size);                     // gethostname
  bool (*computerName)(char16_t* buffer, std::uint32_t* size);  // GetComputerNameW
  // The addresses of the family that other machines can reach this one at: those of interfaces
  // that are up, loopback and (IPv6) link-local excluded.
  std::vector<std::string> (*interfaceAddresses)(AddressFamily family);

  // Stopping from outside (interrupt, terminate, console close). `installStopHandler` arranges
  // that such a request calls `requestStop`, which sets the flag that `stopRequested` reads and
  // makes `stopWake` readable: a handle that a readiness set can watch. Installing clears any
  // earlier request.
  void (*installStopHandler)();
  void (*requestStop)();
  bool (*stopRequested)();
  SocketHandle (*stopWake)();
};

// The active services. Holds the real implementations unless a test has replaced an entry.
extern Services services;

// The real implementations, for a test that wants to wrap one.
const Services& realServices();

// The test seam: replaces one service for the life of this object, then puts back what was there.
//   ServiceOverride fakeTicks(&Services::tickCount, +[] { return std::uint64_t{5}; });
template <typename Function>
class ServiceOverride {
 public:
  ServiceOverride(Function Services::*entry, Function replacement)
      : entry_(entry), saved_(services.*entry) {
    services.*entry_ = replacement;
  }
  ~ServiceOverride() { services.*entry_ = saved_; }
  ServiceOverride(const ServiceOverride&) = delete;
  ServiceOverride& operator=(const ServiceOverride&) = delete;

 private:
  Function Services::*entry_;
  Function saved_;
};

}  // namespace plinth::platform
