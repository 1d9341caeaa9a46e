#include "receiver/refusal_reports.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "plinth/text/text_writer.h"

namespace farspeak {
namespace {

constexpr double reportSecond = 1.0;

bool sameAddress(const plinth::platform::SocketAddress& one,
                 const plinth::platform::SocketAddress& other) {
  return one.family == other.family && std::memcmp(one.bytes, other.bytes, sizeof one.bytes) == 0;
}

bool addressBefore(const plinth::platform::SocketAddress& one,
                   const plinth::platform::SocketAddress& other) {
  if (one.family != other.family)
    return one.family < other.family;
  return std::memcmp(one.bytes, other.bytes, sizeof one.bytes) < 0;
}

}  // namespace

RefusalReports::RefusalReports(plinth::EventLoop& loop, OutputBuffer& output)
    : loop_(loop), output_(output) {}

RefusalReports::~RefusalReports() {
  loop_.cancel(*this);
}

void RefusalReports::report(const plinth::platform::SocketAddress& peer, Verdict verdict) {
  if (!scheduled()) {
    said_ = 0;
    loop_.schedule(*this, loop_.now() + reportSecond);
  }
  if (said_ == refusalsSaidPerSecond) {
    ++notSaid_;
    if (notSaidFrom_.empty() || !sameAddress(notSaidFrom_.back(), peer))
      notSaidFrom_.push_back(peer);
    return;
  }
  ++said_;
  const OutputFormat& format = output_.format();
  const std::string address = plinth::platform::services.addressText(peer);
  const std::string endpoint = endpointText(address, peer.port);
  if (format.json)
    output_.writeRefused(endpoint);
  const std::string name = format.tags ? "[" + endpoint + "]" : address;
  clientLine(format)
      .writeText("Refused connection from ")
      .writeText(name.c_str())
      .writeText(verdict == Verdict::denied ? " (denied)\n" : " (not allowed)\n");
}

void RefusalReports::finish() {
  if (notSaid_ == 0)
    return;
  std::sort(notSaidFrom_.begin(), notSaidFrom_.end(), addressBefore);
  const auto addresses = static_cast<std::uint64_t>(
      std::unique(notSaidFrom_.begin(), notSaidFrom_.end(), sameAddress) - notSaidFrom_.begin());
  if (output_.format().json)
    output_.writeRefusedSum(notSaid_, addresses);
  clientLine(output_.format())
      .writeText("...and ")
      .writeUInt64(notSaid_)
      .writeText(notSaid_ == 1 ? " more refused connection from "
                               : " more refused connections from ")
      .writeUInt64(addresses)
      .writeText(addresses == 1 ? " address\n" : " addresses\n");
  notSaid_ = 0;
  // A scan from many addresses may have grown it far: the memory goes back.
  std::vector<plinth::platform::SocketAddress>().swap(notSaidFrom_);
}

}  // namespace farspeak
