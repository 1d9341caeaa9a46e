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

std::vector<std::string> interfaceAddresses() {
  std::vector<std::string> addresses;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0)
    return addresses;
  const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owner(list, freeifaddrs);
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    // Interfaces without an address (ifa_addr null) are listed too.
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET)
      continue;
    if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0)
      continue;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr, text,
              sizeof text);
    addresses.emplace_back(text);
  }
  return addresses;
}

}  // namespace plinth::platform::native
