// Readiness on Windows: one WSAPoll over every watched socket and the receiving end of a loopback
// connection that a stop request writes to, so that a snapshot of many sockets costs one call, and
// so does a wait.
#include "plinth/platform/win32/readiness.h"

#include <winsock2.h>

#include <atomic>
#include <unordered_map>
#include <vector>

#include "plinth/platform/native.h"
#include "plinth/platform/readiness_table.h"

namespace plinth::platform::native {
namespace {

using platform::readiness::table;

// WSAPoll refuses POLLPRI; urgent data shows as POLLRDBAND.
constexpr short interest = POLLRDNORM | POLLRDBAND;

// The set: the stop wake first (once it exists), then the watched sockets.
std::vector<WSAPOLLFD> polled;
std::unordered_map<SOCKET, std::size_t> slotOf;

// The stop wake: a loopback connection, made once the socket library has started. The console
// handler sends a byte on one end; the wait watches the other.
std::atomic<SOCKET> wakeSender{INVALID_SOCKET};
SOCKET wakeReceiver = INVALID_SOCKET;

void prepareStopWake() {
  if (wakeReceiver != INVALID_SOCKET)
    return;
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
    return;  // no wake: a stop is then seen at the latest when the wait's time is up
  }
  wakeReceiver = receiver;
  wakeSender = sender;
  polled.insert(polled.begin(), WSAPOLLFD{receiver, interest, 0});
  for (auto& [socket, slot] : slotOf)
    ++slot;
}

void join(SOCKET socket) {
  prepareStopWake();
  if (slotOf.count(socket) != 0)
    return;
  slotOf[socket] = polled.size();
  polled.push_back(WSAPOLLFD{socket, interest, 0});
}

void leave(SOCKET socket) {
  const auto found = slotOf.find(socket);
  if (found == slotOf.end())
    return;
  const std::size_t slot = found->second;
  slotOf.erase(found);
  if (slot + 1 < polled.size()) {
    polled[slot] = polled.back();
    slotOf[polled[slot].fd] = slot;
  }
  polled.pop_back();
}

void drainWakes() {
  char bytes[64];
  while (::recv(wakeReceiver, bytes, sizeof bytes, 0) > 0) {
  }
}

}  // namespace

namespace readiness {

// One WSAPoll; what it finds becomes the snapshot.
bool takeSnapshot(int milliseconds) {
  int count = 0;
  if (polled.empty())
    Sleep(milliseconds < 0 ? 100 : static_cast<DWORD>(milliseconds));  // nothing to wait on
  else
    count = WSAPoll(polled.data(), static_cast<ULONG>(polled.size()), milliseconds);
  table.beginSnapshot();
  if (count == SOCKET_ERROR)
    return false;
  for (std::size_t slot = 0; count > 0 && slot < polled.size(); ++slot) {
    const short events = polled[slot].revents;
    if (events == 0)
      continue;
    --count;
    if (polled[slot].fd == wakeReceiver) {
      drainWakes();
      continue;
    }
    // As select reports them: an ended, reset or failed socket reads as readable (the receive
    // then says what happened); urgent data is the exception condition.
    table.found(static_cast<SocketHandle>(polled[slot].fd),
                {.exception = (events & POLLRDBAND) != 0,
                 .ready = (events & (POLLRDNORM | POLLHUP | POLLERR | POLLNVAL)) != 0});
  }
  return true;
}

void add(SocketHandle socket) {
  join(static_cast<SOCKET>(socket));
  table.watch(socket);
}

void remove(SocketHandle socket) {
  table.forget(socket);
  leave(static_cast<SOCKET>(socket));
}

void received(SocketHandle socket) {
  table.received(socket);
}

void wake() {
  const SOCKET sender = wakeSender;
  if (sender != INVALID_SOCKET) {
    const char byte = 0;
    ::send(sender, &byte, 1, 0);
  }
}

}  // namespace readiness

void watchSocket(SocketHandle socket, bool watched) {
  if (watched) {
    readiness::add(socket);
  } else {
    readiness::remove(socket);
  }
}

}  // namespace plinth::platform::native
