// One client as the receiver keeps it: its connection, the part of a line it holds, and how its
// output and messages name it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "plinth/core/counted_ref.h"
#include "plinth/net/network_connection.h"
#include "receiver/byte_buffer.h"

namespace plinth {
class TextWriter;
}

namespace farspeak {

// How the output marks where each piece comes from.
// With JSON records, tags and times still name clients and date lines on standard error.
struct OutputFormat {
  bool tags = false;        // each piece starts with its client's address and port
  bool timestamps = false;  // each piece starts with the local time it is written
  bool colour = false;      // each client's tag in a colour of its own
  bool json = false;        // one JSON record per line instead of text: no prefixes
  bool ansi = false;        // the clients' own colour sequences (SGR) pass, each piece reset after

  bool prefixed() const { return !json && (tags || timestamps); }
};

struct ClientRecord {
  // `number` counts the clients accepted before this one; it picks the tag's colour.
  explicit ClientRecord(const plinth::CountedRef<plinth::NetworkConnection>& client,
                        const OutputFormat& format = {}, unsigned number = 0);

  plinth::CountedRef<plinth::NetworkConnection> connection;
  std::uint64_t bytesReceived = 0;  // over the connection's life
  bool crSeen = false;              // a CR held since the last write; nothing reads it
  // Part of a line, as the client sent it, held until it is due; no storage while empty.
  ByteBuffer buffer;
  // The pass that took the first byte `buffer` holds: the part is due half a second later, so a
  // line whose rest comes within that half second is never cut.
  double heldSince = 0.0;
  // Its last piece on standard output did not end its line: the next one continues it.
  bool lineOpen = false;
  // At a stop: how many bytes of its stream had arrived (received, or waiting in the system) when
  // it was requested. They are all written.
  std::uint64_t owedThrough = 0;
  std::size_t budgeted = 0;  // the memory the budget counts for it
  // With tags or JSON records, its address and port as a URL writes them: "192.168.1.7:50412",
  // "[::1]:50412". With tags: "[192.168.1.7:50412]" for the console, and the prefix of its pieces,
  // coloured when the output takes colour. Empty otherwise.
  std::string endpoint;
  std::string name;
  std::string tag;
};

// The local time, written at `out` as a prefix, "hh:mm:ss.mmm " (13 characters), or as JSON
// records date it, "2026-12-09T14:03:27.512+01:00" (29); returns the count.
enum class TimeForm { timeOfDay, rfc3339 };
inline constexpr std::size_t longestTime = 29;
std::size_t writeTime(char* out, TimeForm form);

// A client's address and port as a URL writes them: "192.168.1.7:50412", "[::1]:50412".
std::string endpointText(const std::string& address, std::uint16_t port);

// The console, with the local time written first when the format has timestamps: where a line
// about clients starts.
plinth::TextWriter& clientLine(const OutputFormat& format);

// A console line about a client: `before`, its name (the address, or with tags its tag), `after`;
// with timestamps, the time first.
void reportClient(const ClientRecord& record, const char* before, const char* after,
                  const OutputFormat& format);

}  // namespace farspeak
