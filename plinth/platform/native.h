// The real services, implemented once per operating system under posix/ and win32/ with the same
// file names. Only services.cpp, which puts them in the table, and the implementations use this.
#pragma once

#include "plinth/platform/platform.h"

namespace plinth::platform::native {

// memory.cpp (linux/)
void trimMemory();

// time.cpp
void sleep(std::uint32_t milliseconds);
void yieldProcessor();
std::uint64_t tickCount();
bool performanceFrequency(std::int64_t* counts);
bool performanceCounter(std::int64_t* count);
std::uint64_t timeStampCounter();
TimeOfDay localTime();

// threads.cpp (the thread id: linux/thread_id.cpp)
std::uint32_t currentThreadId();
EventHandle createEvent();
bool waitEvent(EventHandle event, std::uint32_t milliseconds);
void setEvent(EventHandle event);
void closeEvent(EventHandle event);

// streams.cpp
bool writeStandardOutput(const ByteRange* ranges, std::size_t count);
bool writeErrorStream(const void* bytes, std::size_t count);  // blocking
std::string standardOutputFailure();
bool writeConsole(const char16_t* units, std::uint32_t count);
bool standardOutputTakesColour();
void installStopHandler();
void requestStop();
bool stopRequested();
SocketHandle stopWake();

// message_queue.cpp: hands the text to standard error's own thread, which writes it with
// writeErrorStream.
bool writeStandardError(const void* bytes, std::size_t count);
void queueStandardError();
void finishStandardError();

// locale.cpp
int localeText(std::uint32_t item, char16_t* buffer, int size);
int localeNarrowText(std::uint32_t item, char* buffer, int size);
bool setRuntimeLocale(const char* name);
std::u16string argumentText(const char* argument);

// sockets.cpp
int startSockets();
int lastSocketError();
std::string socketErrorText(int code);
SocketErrorKind socketErrorKind(int code);
std::uint64_t descriptorLimit();
SocketHandle openStreamSocket(AddressFamily family);
bool bindAddress(SocketHandle socket, const SocketAddress& address);
bool listen(SocketHandle socket);
bool localPort(SocketHandle socket, std::uint16_t* port);
PollResult poll(SocketHandle socket, PollDirection direction);
SocketHandle accept(SocketHandle listener, SocketAddress* peer);
int receive(SocketHandle socket, void* buffer, int count);
std::size_t bytesWaiting(SocketHandle socket);
int send(SocketHandle socket, const void* bytes, int count);
bool shutdown(SocketHandle socket, ShutdownDirection direction);
bool setLinger(SocketHandle socket, std::uint16_t seconds);
bool closeSocket(SocketHandle socket);
std::string addressText(const SocketAddress& address);
bool numericAddress(const char* text, SocketAddress* address);
std::vector<SocketAddress> resolveName(const char* name, std::string* failure);

// readiness.cpp: epoll (linux/), WSAPoll (win32/) or poll(2) (posix/)
ReadinessSet openReadinessSet();
void closeReadinessSet(ReadinessSet set);
bool watchSocket(ReadinessSet set, SocketHandle socket, void* watcher);
void unwatchSocket(ReadinessSet set, SocketHandle socket);
bool waitForReadiness(ReadinessSet set, std::int32_t milliseconds,
                      std::vector<ReadyWatcher>& ready);

// host.cpp
bool hostName(char* buffer, int size);
bool computerName(char16_t* buffer, std::uint32_t* size);
std::vector<std::string> interfaceAddresses(AddressFamily family);

}  // namespace plinth::platform::native
