// The simplest receiver there is, the ceiling of one thread for the bench: it accepts clients and
// copies what each sends to standard output as it comes, one read and one write at a time, with
// nothing kept whole and nothing escaped. `farspeak-bench --trivial-receiver PORT` runs it.
#pragma once

#include <cstdint>
#include <string_view>

namespace farspeak::bench {

inline constexpr std::string_view trivialReceiverOption = "--trivial-receiver";

// Listens on every IPv4 address and `port` until killed; returns 1 when it cannot.
int runTrivialReceiver(std::uint16_t port);

}  // namespace farspeak::bench
