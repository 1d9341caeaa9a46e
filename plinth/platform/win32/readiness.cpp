// Readiness on Windows: one WSAPoll over every watched socket and the receiving end of a loopback
// connection that a stop request writes to, so that a look at many sockets costs one call, and so
// does a wait.
#include "plinth/platform/win32/readiness.h"

#include <winsock2.h>

#include <atomic>
#include <unordered_map>
#include <vector>

#include "plinth/platform/native.h"

namespace plinth::platform::native {
namespace {

// WSAPoll refuses POLLPRI; urgent data shows as POLLRDBAND.
constexpr short interest = POLLRDNORM | POLLRDBAND;

// The set: the stop wake first (once it exists), then the watched sockets, each with its key at the
// same index.
std::vector<WSAPOLLFD> polled;
std::vector<std::uintptr_t> keys;
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
  keys.insert(keys.begin(), 0);
  for (auto& [socket, slot] : slotOf)
    ++slot;
}

void drainWakes() {
  char bytes[64];
  while (::recv(wakeReceiver, bytes, sizeof bytes, 0) > 0) {
  }
}

}  // namespace

bool watchSocket(SocketHandle socket, std::uintptr_t key) {
  prepareStopWake();
  const auto native = static_cast<SOCKET>(socket);
  if (const auto found = slotOf.find(native); found != slotOf.end()) {
    keys[found->second] = key;
    return true;
  }
  slotOf[native] = polled.size();
  polled.push_back(WSAPOLLFD{native, interest, 0});
  keys.push_back(key);
  return true;
}

void unwatchSocket(SocketHandle socket) {
  const auto found = slotOf.find(static_cast<SOCKET>(socket));
  if (found == slotOf.end())
    return;
  const std::size_t slot = found->second;
  slotOf.erase(found);
  if (slot + 1 < polled.size()) {
    polled[slot] = polled.back();
    keys[slot] = keys.back();
    slotOf[polled[slot].fd] = slot;
  }
  polled.pop_back();
  keys.pop_back();
}

// One WSAPoll; the index of each socket it found ready gives the key.
bool waitForReadiness(std::int32_t milliseconds, std::vector<ReadySocket>& ready) {
  ready.clear();
  int count = 0;
  if (polled.empty())
    Sleep(milliseconds < 0 ? 100 : static_cast<DWORD>(milliseconds));  // nothing to wait on
  else
    count = WSAPoll(polled.data(), static_cast<ULONG>(polled.size()), milliseconds);
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
    ready.push_back({.key = keys[slot],
                     .exception = (events & POLLRDBAND) != 0,
                     .ready = (events & (POLLRDNORM | POLLHUP | POLLERR | POLLNVAL)) != 0});
  }
  return true;
}

namespace readiness {

void wake() {
  const SOCKET sender = wakeSender;
  if (sender != INVALID_SOCKET) {
    const char byte = 0;
    ::send(sender, &byte, 1, 0);
  }
}

}  // namespace readiness
}  // namespace plinth::platform::native
