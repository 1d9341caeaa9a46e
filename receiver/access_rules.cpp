#include "receiver/access_rules.h"

#include <algorithm>

namespace farspeak {
namespace {

// "a", "a and b", "a, b and c"
std::string listed(const std::vector<AddressRange>& ranges) {
  std::string text;
  for (std::size_t index = 0; index < ranges.size(); ++index) {
    if (index > 0)
      text += index + 1 == ranges.size() ? " and " : ", ";
    text += ranges[index].text();
  }
  return text;
}

bool anyHolds(const std::vector<AddressRange>& ranges,
              const plinth::platform::SocketAddress& peer) {
  return std::any_of(ranges.begin(), ranges.end(),
                     [&peer](const AddressRange& range) { return range.contains(peer); });
}

}  // namespace

int addressBits(plinth::platform::AddressFamily family) {
  return family == plinth::platform::AddressFamily::ipv4 ? 32 : 128;
}

bool AddressRange::contains(const plinth::platform::SocketAddress& peer) const {
  if (peer.family != address.family)
    return false;
  const int wholeBytes = prefixLength / 8;
  if (!std::equal(address.bytes, address.bytes + wholeBytes, peer.bytes))
    return false;
  const int bitsLeft = prefixLength % 8;
  const auto mask = static_cast<std::uint8_t>(0xFF00 >> bitsLeft);
  return bitsLeft == 0 || (peer.bytes[wholeBytes] & mask) == address.bytes[wholeBytes];
}

std::string AddressRange::text() const {
  const std::string shown = plinth::platform::services.addressText(address);
  if (prefixLength == addressBits(address.family))
    return shown;
  return shown + "/" + std::to_string(prefixLength);
}

Verdict AccessRules::judge(const plinth::platform::SocketAddress& peer) const {
  if (!allowed.empty() && !anyHolds(allowed, peer))
    return Verdict::notAllowed;
  return anyHolds(denied, peer) ? Verdict::denied : Verdict::admitted;
}

std::string AccessRules::sentence() const {
  if (!judgesAddresses() && mostClients == 0)
    return "";
  std::string text = "Clients allowed from ";
  text += allowed.empty() ? "anywhere" : listed(allowed);
  if (!denied.empty())
    text += (allowed.empty() ? " except " : ", except ") + listed(denied);
  if (mostClients > 0)
    text += "; at most " + std::to_string(mostClients) + " at once";
  return text;
}

}  // namespace farspeak
