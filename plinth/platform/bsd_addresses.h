// Socket addresses between the library's form and the BSD socket API's, which POSIX and Winsock
// share to the names of the fields and the calls. Each system's sockets.cpp includes this after its
// own socket headers (<netdb.h> and <netinet/in.h>, or <ws2tcpip.h>).
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "plinth/platform/platform.h"

namespace plinth::platform::native {

// The address as the system takes it; returns its length.
inline int systemAddress(const SocketAddress& address, sockaddr_storage& out) {
  std::memset(&out, 0, sizeof out);
  if (address.family == AddressFamily::ipv4) {
    auto& ipv4 = reinterpret_cast<sockaddr_in&>(out);
    ipv4.sin_family = AF_INET;
    ipv4.sin_port = htons(address.port);
    std::memcpy(&ipv4.sin_addr, address.bytes, 4);
    return static_cast<int>(sizeof ipv4);
  }
  auto& ipv6 = reinterpret_cast<sockaddr_in6&>(out);
  ipv6.sin6_family = AF_INET6;
  ipv6.sin6_port = htons(address.port);
  std::memcpy(&ipv6.sin6_addr, address.bytes, 16);
  ipv6.sin6_scope_id = address.scope;
  return static_cast<int>(sizeof ipv6);
}

// The address the system gave. An IPv4 address mapped into IPv6 (::ffff:a.b.c.d) is IPv4.
inline SocketAddress libraryAddress(const sockaddr* given) {
  SocketAddress address;
  if (given->sa_family == AF_INET) {
    const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(given);
    std::memcpy(address.bytes, &ipv4->sin_addr, 4);
    address.port = ntohs(ipv4->sin_port);
    return address;
  }
  const auto* ipv6 = reinterpret_cast<const sockaddr_in6*>(given);
  address.port = ntohs(ipv6->sin6_port);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&ipv6->sin6_addr);
  constexpr std::uint8_t mappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (std::memcmp(bytes, mappedPrefix, sizeof mappedPrefix) == 0) {
    std::memcpy(address.bytes, bytes + 12, 4);
    return address;
  }
  address.family = AddressFamily::ipv6;
  std::memcpy(address.bytes, bytes, 16);
  address.scope = ipv6->sin6_scope_id;
  return address;
}

inline std::string addressTextOf(const SocketAddress& address) {
  sockaddr_storage system;
  const int length = systemAddress(address, system);
  char text[NI_MAXHOST] = {};
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&system), length, text, sizeof text, nullptr, 0,
                  NI_NUMERICHOST) != 0)
    return "?";
  return text;
}

// Every address `getaddrinfo` gives for `name` with `flags`, each once, in its order; an empty
// list and the reason when it gives none.
inline std::vector<SocketAddress> addressesOf(const char* name, int flags, std::string* failure) {
  addrinfo hints{};
  hints.ai_flags = flags;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int error = getaddrinfo(name, nullptr, &hints, &found);
  std::vector<SocketAddress> addresses;
  if (error != 0) {
    if (failure != nullptr)
      *failure = gai_strerror(error);
    return addresses;
  }
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6)
      continue;
    const SocketAddress address = libraryAddress(entry->ai_addr);
    bool seen = false;
    for (const SocketAddress& earlier : addresses)
      seen = seen || earlier == address;
    if (!seen)
      addresses.push_back(address);
  }
  freeaddrinfo(found);
  if (addresses.empty() && failure != nullptr)
    *failure = "no IPv4 or IPv6 address";
  return addresses;
}

}  // namespace plinth::platform::native
