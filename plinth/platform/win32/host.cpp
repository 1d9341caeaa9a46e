// winsock2.h must come before the other Windows headers (a comment line, so that sorting the
// includes leaves them in this order).
#include <winsock2.h>
//
#include <iphlpapi.h>
#include <ws2tcpip.h>

#include <cstdio>

#include "plinth/platform/native.h"

namespace plinth::platform::native {

bool hostName(char* buffer, int size) {
  return gethostname(buffer, size) == 0;
}

bool computerName(char16_t* buffer, std::uint32_t* size) {
  DWORD units = *size;
  const bool named = GetComputerNameW(reinterpret_cast<wchar_t*>(buffer), &units) != 0;
  *size = units;
  return named;
}

std::vector<std::string> interfaceAddresses(AddressFamily family) {
  const ULONG wanted = family == AddressFamily::ipv6 ? AF_INET6 : AF_INET;
  constexpr ULONG flags =
      GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  // The list may grow between the call that sizes the buffer and the call that fills it.
  std::vector<unsigned char> storage;
  ULONG size = 16 * 1024;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    storage.resize(size);
    result = GetAdaptersAddresses(wanted, flags, nullptr,
                                  reinterpret_cast<IP_ADAPTER_ADDRESSES*>(storage.data()), &size);
  }
  std::vector<std::string> addresses;
  if (result != NO_ERROR)
    return addresses;
  for (auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(storage.data());
       adapter != nullptr; adapter = adapter->Next) {
    if (adapter->OperStatus != IfOperStatusUp || adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK) {
      continue;
    }
    for (auto* unicast = adapter->FirstUnicastAddress; unicast != nullptr;
         unicast = unicast->Next) {
      const sockaddr* address = unicast->Address.lpSockaddr;
      if (address == nullptr || address->sa_family != wanted)
        continue;
      // Formatted here rather than by the socket library, which may refuse before it has started.
      const auto* bytes = reinterpret_cast<const unsigned char*>(
          wanted == AF_INET
              ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(address)->sin_addr)
              : static_cast<const void*>(
                    &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr));
      char text[48] = {};
      if (wanted == AF_INET) {
        std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
      } else {
        // A link-local address reaches no further than its link, and needs its interface.
        if (bytes[0] == 0xFE && (bytes[1] & 0xC0) == 0x80)
          continue;
        InetNtopA(AF_INET6, bytes, text, sizeof text);
      }
      addresses.emplace_back(text);
    }
  }
  return addresses;
}

}  // namespace plinth::platform::native
