#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "plinth/platform/native.h"

namespace plinth::platform::native {

bool hostName(char* buffer, int size) {
  return size > 0 && gethostname(buffer, static_cast<std::size_t>(size)) == 0;
}

bool computerName(char16_t* buffer, std::uint32_t* size) {
  utsname names{};
  if (uname(&names) != 0)
    return false;
  const std::size_t length = std::strlen(names.nodename);
  // As on Windows: a buffer too small for the name and its terminator is left alone, and the
  // size says how many units would do.
  if (length >= *size) {
    *size = static_cast<std::uint32_t>(length + 1);
    return false;
  }
  for (std::size_t index = 0; index < length; ++index) {
    buffer[index] = static_cast<unsigned char>(names.nodename[index]);
  }
  buffer[length] = u'\0';
  *size = static_cast<std::uint32_t>(length);
  return true;
}

std::vector<std::string> interfaceAddresses(AddressFamily family) {
  std::vector<std::string> addresses;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0)
    return addresses;
  const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owner(list, freeifaddrs);
  const int wanted = family == AddressFamily::ipv6 ? AF_INET6 : AF_INET;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    // Interfaces without an address (ifa_addr null) are listed too.
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != wanted)
      continue;
    if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0)
      continue;
    char text[INET6_ADDRSTRLEN] = {};
    const void* bytes =
        wanted == AF_INET ? static_cast<const void*>(
                                &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr)
                          : static_cast<const void*>(
                                &reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr)->sin6_addr);
    // A link-local IPv6 address reaches no further than its link, and needs its interface.
    if (wanted == AF_INET6 && IN6_IS_ADDR_LINKLOCAL(static_cast<const in6_addr*>(bytes)))
      continue;
    inet_ntop(wanted, bytes, text, sizeof text);
    addresses.emplace_back(text);
  }
  return addresses;
}

}  // namespace plinth::platform::native
