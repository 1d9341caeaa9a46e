// Who may connect: the address ranges clients are let in from or kept out of, and how many may be
// connected at once. A client's address is all that is judged: nothing is resolved while
// accepting.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plinth/platform/platform.h"

namespace farspeak {

// An IPv4 or IPv6 address and how many of its leading bits count: 10.0.0.0/8, ::1/128.
struct AddressRange {
  plinth::platform::SocketAddress address;  // host bits zero, no port, no zone
  int prefixLength = 32;                    // up to 32 for IPv4, 128 for IPv6

  // Whether `peer` (its port and zone apart) is in the range.
  bool contains(const plinth::platform::SocketAddress& peer) const;
  // "10.0.0.0/8", or a single address as is: "192.168.1.7", "::1".
  std::string text() const;

  bool operator==(const AddressRange&) const = default;
};

// The bits an address of this family has.
int addressBits(plinth::platform::AddressFamily family);

enum class Verdict { admitted, notAllowed, denied };

struct AccessRules {
  std::vector<AddressRange> allowed;  // --allow; none: any address
  std::vector<AddressRange> denied;   // --deny
  std::uint32_t mostClients = 0;      // --max-clients; 0: no limit

  // Whether a client's address is judged at all.
  bool judgesAddresses() const { return !allowed.empty() || !denied.empty(); }
  // Let in when some allowed range holds `peer` (or none is given) and no denied range does.
  Verdict judge(const plinth::platform::SocketAddress& peer) const;
  // The rule in one sentence, "Clients allowed from 10.0.0.0/8 and ::1, except 10.0.0.5; at most
  // 50 at once", without its line end; empty when there are no rules.
  std::string sentence() const;

  bool operator==(const AccessRules&) const = default;
};

}  // namespace farspeak
