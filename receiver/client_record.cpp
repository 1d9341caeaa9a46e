#include "receiver/client_record.h"

#include <cstdint>

#include "plinth/platform/platform.h"
#include "plinth/text/digits.h"
#include "plinth/text/text_writer.h"
#include "plinth/text/utf8.h"

namespace farspeak {
namespace {

// Colours that read on dark and light backgrounds alike, in turn: red, green, yellow, blue,
// magenta, cyan, then their bright forms.
constexpr int tagColours[] = {31, 32, 33, 34, 35, 36, 91, 92, 93, 94, 95, 96};

}  // namespace

ClientRecord::ClientRecord(const plinth::CountedRef<plinth::NetworkConnection>& client,
                           const OutputFormat& format, unsigned number)
    : connection(client) {
  if (!format.tags && !format.json)
    return;
  std::string address;
  plinth::appendUtf8(client->getAddress(), address, SIZE_MAX);
  endpoint = endpointText(address, client->getPort());
  if (!format.tags)
    return;
  name.append("[").append(endpoint).append("]");
  if (format.colour) {
    const int colour = tagColours[number % std::size(tagColours)];
    tag.append("\x1b[").append(std::to_string(colour)).append("m").append(name).append("\x1b[0m");
  } else {
    tag = name;
  }
  tag += ' ';
}

std::string endpointText(const std::string& address, std::uint16_t port) {
  // Appended piece by piece: GCC 12 warns, wrongly, about `"[" + text`. An IPv6 address stands in
  // brackets before the port, as in a URL.
  std::string endpoint;
  const bool ipv6 = address.find(':') != std::string::npos;
  endpoint.append(ipv6 ? "[" : "").append(address).append(ipv6 ? "]:" : ":");
  return endpoint.append(std::to_string(port));
}

std::size_t writeTime(char* out, TimeForm form) {
  const plinth::platform::TimeOfDay now = plinth::platform::services.localTime();
  const auto digits = [&out](int value, std::size_t count) {
    plinth::placeDigits(static_cast<std::uint64_t>(value), 10, out, count);
    out += count;
  };
  char* const start = out;
  if (form == TimeForm::rfc3339) {
    digits(now.year, 4);
    *out++ = '-';
    digits(now.month, 2);
    *out++ = '-';
    digits(now.day, 2);
    *out++ = 'T';
  }
  digits(now.hour, 2);
  *out++ = ':';
  digits(now.minute, 2);
  *out++ = ':';
  digits(now.second, 2);
  *out++ = '.';
  digits(now.millisecond, 3);
  if (form == TimeForm::rfc3339) {
    const int offset = now.utcOffsetMinutes;
    *out++ = offset < 0 ? '-' : '+';
    digits((offset < 0 ? -offset : offset) / 60, 2);
    *out++ = ':';
    digits((offset < 0 ? -offset : offset) % 60, 2);
  } else {
    *out++ = ' ';
  }
  return static_cast<std::size_t>(out - start);
}

plinth::TextWriter& clientLine(const OutputFormat& format) {
  char time[longestTime + 1] = {};
  if (format.timestamps)
    writeTime(time, TimeForm::timeOfDay);
  return plinth::console().writeText(time);
}

void reportClient(const ClientRecord& record, const char* before, const char* after,
                  const OutputFormat& format) {
  plinth::TextWriter& console = clientLine(format).writeText(before);
  if (record.name.empty())
    console.writeWideText(record.connection->getAddress());
  else
    console.writeText(record.name.c_str());
  console.writeText(after);
}

}  // namespace farspeak
