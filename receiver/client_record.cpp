#include "receiver/client_record.h"

#include "plinth/platform/platform.h"
#include "plinth/text/text_writer.h"

namespace farspeak {
namespace {

// Colours that read on dark and light backgrounds alike, in turn: red, green, yellow, blue,
// magenta, cyan, then their bright forms.
constexpr int tagColours[] = {31, 32, 33, 34, 35, 36, 91, 92, 93, 94, 95, 96};

std::string narrow(const char16_t* text) {
  std::string result;
  for (; *text != 0; ++text)
    result += static_cast<char>(*text);  // a dotted address: digits and dots
  return result;
}

}  // namespace

ClientRecord::ClientRecord(const plinth::CountedRef<plinth::NetworkConnection>& client,
                           const OutputFormat& format, unsigned number)
    : connection(client) {
  if (!format.tags)
    return;
  // Appended piece by piece: GCC 12 warns, wrongly, about `"[" + text`.
  name.append("[").append(narrow(client->getAddress()));
  name.append(":").append(std::to_string(client->getPort())).append("]");
  if (format.colour) {
    const int colour = tagColours[number % std::size(tagColours)];
    tag.append("\x1b[").append(std::to_string(colour)).append("m").append(name).append("\x1b[0m");
  } else {
    tag = name;
  }
  tag += ' ';
}

std::size_t writeTimeOfDay(char* out) {
  const plinth::platform::TimeOfDay now = plinth::platform::services.localTime();
  const auto digits = [&out](int value, int count) {
    for (int place = count - 1; place >= 0; --place, value /= 10)
      out[place] = static_cast<char>('0' + value % 10);
    out += count;
  };
  char* const start = out;
  digits(now.hour, 2);
  *out++ = ':';
  digits(now.minute, 2);
  *out++ = ':';
  digits(now.second, 2);
  *out++ = '.';
  digits(now.millisecond, 3);
  *out++ = ' ';
  return static_cast<std::size_t>(out - start);
}

void reportClient(const ClientRecord& record, const char* before, const char* after,
                  const OutputFormat& format) {
  char time[16] = {};
  if (format.timestamps)
    writeTimeOfDay(time);
  plinth::TextWriter& console = plinth::console().writeText(time).writeText(before);
  if (record.name.empty())
    console.writeWideText(record.connection->getAddress());
  else
    console.writeText(record.name.c_str());
  console.writeText(after);
}

}  // namespace farspeak
