#include "receiver/command_line.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <optional>
#include <string_view>

#include "plinth/net/sockets.h"
#include "plinth/platform/platform.h"
#include "receiver/line_assembler.h"

namespace farspeak {
namespace {

using Action = CommandLine::Action;

using plinth::platform::AddressFamily;
using plinth::platform::SocketAddress;

enum class Option {
  port,
  listen,
  allow,
  deny,
  maxClients,
  tag,
  timestamps,
  json,
  ansi,
  help,
  version
};

constexpr unsigned mostClientsAllowed = 1'000'000;

struct OptionName {
  Option option;
  char shortName;  // '\0' for an option with a long name only
  std::string_view longName;
  std::string_view valueWanted;  // what its value must be; empty for an option without one
};

constexpr OptionName optionNames[] = {
    {Option::port, 'p', "port", "a number from 0 to 65535"},
    {Option::listen, 'l', "listen", "an IPv4 or IPv6 address or a host name"},
    {Option::allow, '\0', "allow", "an IPv4 or IPv6 address or range"},
    {Option::deny, '\0', "deny", "an IPv4 or IPv6 address or range"},
    {Option::maxClients, '\0', "max-clients", "a number from 1 to 1000000"},
    {Option::tag, 't', "tag", ""},
    {Option::timestamps, 'T', "timestamps", ""},
    {Option::json, '\0', "json", ""},
    {Option::ansi, '\0', "ansi", ""},
    {Option::help, 'h', "help", ""},
    {Option::version, 'V', "version", ""},
};

const OptionName* findShort(char name) {
  for (const OptionName& option : optionNames) {
    if (option.shortName == name)
      return &option;
  }
  return nullptr;
}

const OptionName* findLong(std::string_view name) {
  for (const OptionName& option : optionNames) {
    if (option.longName == name)
      return &option;
  }
  return nullptr;
}

// An argument as a message shows it, in quotes. Its bytes come in whatever encoding the system
// passes (UTF-8 on Linux, the ANSI code page on Windows), so everything but printable ASCII is
// shown as \ddd, as the program shows control bytes: the message reads the same everywhere.
std::string quoted(std::string_view argument) {
  std::string text = "'";
  for (const char character : argument) {
    const auto byte = static_cast<unsigned char>(character);
    if (byte >= 0x20 && byte < 0x7F) {
      text += character;
    } else {
      char escape[escapeLength];
      writeEscape(byte, escape);
      text.append(escape, escapeLength);
    }
  }
  return text + "'";
}

// A number from `least` to `most`, in decimal digits only.
std::optional<unsigned> parseNumber(std::string_view text, unsigned least, unsigned most) {
  unsigned value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end || value < least || value > most)
    return std::nullopt;
  return value;
}

// Four numbers from 0 to 255 with a dot between each two. A number with a leading zero is refused:
// some address parsers read it as octal, so its meaning would depend on the system.
bool isIpv4Address(std::string_view text) {
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (text.empty() || text.front() != '.')
        return false;
      text.remove_prefix(1);
    }
    unsigned value = 0;
    const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    const auto length = static_cast<std::size_t>(stop - text.data());
    if (error != std::errc() || value > 255 || (length > 1 && text.front() == '0'))
      return false;
    text.remove_prefix(length);
  }
  return text.empty();
}

// What an address's text says it is: with a ':', IPv6; of digits and dots only, IPv4 in dotted
// decimal; anything else is a host name, or one of the forms some readers take for IPv4
// (0x7f000001), which mean different things to different systems.
enum class AddressForm { ipv4, ipv6, other };

AddressForm formOf(std::string_view text) {
  if (text.find(':') != std::string_view::npos)
    return AddressForm::ipv6;
  if (!text.empty() && text.find_first_not_of("0123456789.") == std::string_view::npos)
    return AddressForm::ipv4;
  return AddressForm::other;
}

// The address `text` stands for when it is one of the form it has; an IPv4-mapped IPv6 address
// (::ffff:127.0.0.1) is the IPv4 address. Of the other form, what the system reads as an address.
std::optional<SocketAddress> readAddress(const std::string& text, AddressForm form) {
  // An IPv6 address is hex digits, colons and maybe a dotted IPv4 tail, then its zone after a %;
  // some systems' readers take more (brackets), which no other system would.
  const bool wellFormed =
      form == AddressForm::ipv4 ? isIpv4Address(text)
      : form == AddressForm::ipv6
          ? text.substr(0, text.find('%')).find_first_not_of("0123456789abcdefABCDEF:.") ==
                std::string::npos
          : true;
  SocketAddress address;
  plinth::startSockets();  // Windows reads no address before
  if (!wellFormed || !plinth::platform::services.numericAddress(text.c_str(), &address))
    return std::nullopt;
  return address;
}

// Empty when a listen address is one or a host name (looked up at start-up); otherwise the reason
// it is refused: malformed, or an address that no client connects to (multicast, broadcast).
std::optional<std::string> refusedListenAddress(const std::string& text) {
  const AddressForm form = formOf(text);
  const std::optional<SocketAddress> address = readAddress(text, form);
  if (form == AddressForm::other)
    return address ? std::optional<std::string>("is no IPv4 address") : std::nullopt;
  if (!address) {
    const std::size_t zone = text.find('%');
    if (form == AddressForm::ipv6 && zone != std::string::npos &&
        readAddress(text.substr(0, zone), form))
      return "has a zone, but there is no interface named " + quoted(text.substr(zone + 1));
    return form == AddressForm::ipv6 ? "is no IPv6 address" : "is no IPv4 address";
  }
  const std::uint8_t* bytes = address->bytes;
  const bool ipv6 = address->family == AddressFamily::ipv6;
  const bool multicast = ipv6 ? bytes[0] == 0xFF : (bytes[0] & 0xF0) == 0xE0;
  const bool broadcast =
      !ipv6 && bytes[0] == 255 && bytes[1] == 255 && bytes[2] == 255 && bytes[3] == 255;
  if (multicast || broadcast)
    return multicast ? "is a multicast address" : "is the broadcast address";
  return std::nullopt;
}

// Two addresses of one family overlap when one of them is every address of the family: the system
// cannot listen on both with one port.
bool overlap(const SocketAddress& one, const SocketAddress& other) {
  return one.family == other.family && one != other &&
         (plinth::platform::isAnyAddress(one) || plinth::platform::isAnyAddress(other));
}

// Empty when `text` is a range for --allow and --deny, which it then sets `range` to: an address,
// alone or with a prefix length after a '/'. Otherwise the reason it is refused. Host names are
// not taken: nothing is resolved while accepting.
std::optional<std::string> refusedRange(const std::string& text, AddressRange& range) {
  const std::size_t slash = text.find('/');
  const std::string addressText = text.substr(0, slash);
  const AddressForm form = formOf(addressText);
  const std::string family = form == AddressForm::ipv6 ? "IPv6" : "IPv4";
  const std::string what = slash == std::string::npos ? " address" : " range";
  const bool zone = addressText.find('%') != std::string::npos;
  const std::optional<SocketAddress> address = zone ? std::nullopt : readAddress(addressText, form);
  if (form == AddressForm::other && !address)
    return "is no IPv4 or IPv6" + what + (addressText.empty() ? "" : "; host names are not taken");
  if (zone)
    return "has a zone, which a range does not take";
  if (form == AddressForm::other || !address)
    return "is no " + family + what;
  if (address->family != AddressFamily::ipv6 && form == AddressForm::ipv6)
    return std::string("is IPv4-mapped: write its IPv4 form");
  const int bits = addressBits(address->family);
  std::optional<unsigned> prefix = static_cast<unsigned>(bits);
  if (slash != std::string::npos)
    prefix = parseNumber(std::string_view(text).substr(slash + 1), 0, UINT_MAX);
  if (!prefix)
    return "is no " + family + what;
  if (*prefix > static_cast<unsigned>(bits))
    return "has a prefix longer than " + family + "'s " + std::to_string(bits) + " bits";
  range = {.address = {.family = address->family}, .prefixLength = static_cast<int>(*prefix)};
  std::copy(address->bytes, address->bytes + bits / 8, range.address.bytes);
  for (int bit = range.prefixLength; bit < bits; ++bit)
    range.address.bytes[bit / 8] &= static_cast<std::uint8_t>(~(0x80 >> (bit % 8)));
  if (!std::equal(range.address.bytes, range.address.bytes + bits / 8, address->bytes))
    return "has host bits set (the range is " + range.text() + ")";
  return std::nullopt;
}

// An option's value: joined to it (`joined`), or else the next argument, which it takes.
std::optional<std::string_view> valueOf(std::optional<std::string_view> joined, int& index,
                                        int argc, const char* const* argv) {
  if (joined || index + 1 >= argc)
    return joined;
  return argv[++index];
}

void refuse(CommandLine& commandLine, const std::string& reason) {
  commandLine.action = Action::badUsage;
  commandLine.text = "farspeak: " + reason;
}

// Applies one option, written as `spelling`, with its value if it has one.
void apply(const OptionName& option, std::string_view spelling,
           std::optional<std::string_view> value, CommandLine& commandLine) {
  if (!option.valueWanted.empty() && !value) {
    refuse(commandLine, quoted(spelling) + " needs " + std::string(option.valueWanted));
    return;
  }
  Options& options = commandLine.options;
  switch (option.option) {
    case Option::port:
      if (const std::optional<unsigned> port = parseNumber(*value, 0, 65535)) {
        options.port = static_cast<std::uint16_t>(*port);
      } else {
        refuse(commandLine,
               "port must be " + std::string(option.valueWanted) + ", not " + quoted(*value));
      }
      break;
    case Option::listen: {
      const std::string text(*value);
      if (const std::optional<std::string> refused = refusedListenAddress(text)) {
        refuse(commandLine, quoted(spelling) + " needs " + std::string(option.valueWanted) + ": " +
                                quoted(text) + " " + *refused);
        break;
      }
      if (text.empty()) {
        refuse(commandLine,
               quoted(spelling) + " needs " + std::string(option.valueWanted) + ", not ''");
        break;
      }
      const std::optional<SocketAddress> address = readAddress(text, formOf(text));
      for (const std::string& earlier : options.listenAddresses) {
        const std::optional<SocketAddress> other = readAddress(earlier, formOf(earlier));
        if (address && other && overlap(*address, *other)) {
          refuse(commandLine, "listen addresses " + quoted(earlier) + " and " + quoted(text) +
                                  " overlap: give one of them");
          return;
        }
      }
      options.listenAddresses.push_back(text);
      break;
    }
    case Option::allow:
    case Option::deny: {
      AddressRange range;
      if (const std::optional<std::string> refused = refusedRange(std::string(*value), range)) {
        refuse(commandLine, quoted(spelling) + " needs " + std::string(option.valueWanted) + ": " +
                                quoted(*value) + " " + *refused);
        break;
      }
      std::vector<AddressRange>& ranges =
          option.option == Option::allow ? options.access.allowed : options.access.denied;
      if (std::find(ranges.begin(), ranges.end(), range) == ranges.end())
        ranges.push_back(range);
      break;
    }
    case Option::maxClients:
      if (const std::optional<unsigned> most = parseNumber(*value, 1, mostClientsAllowed)) {
        options.access.mostClients = *most;
      } else {
        refuse(commandLine, quoted(spelling) + " needs " + std::string(option.valueWanted) +
                                ", not " + quoted(*value));
      }
      break;
    case Option::json:
      options.json = true;
      break;
    case Option::ansi:
      options.ansi = true;
      break;
    case Option::tag:
      options.tag = true;
      break;
    case Option::timestamps:
      options.timestamps = true;
      break;
    case Option::help:
      if (commandLine.action == Action::run) {
        commandLine.action = Action::help;
        commandLine.text = helpText;
      }
      break;
    case Option::version:
      if (commandLine.action == Action::run) {
        commandLine.action = Action::version;
        commandLine.text = "farspeak " + std::string(programVersion);
      }
      break;
  }
}

}  // namespace

CommandLine parseCommandLine(int argc, const char* const* argv, bool slashQuestionMarkIsHelp) {
  CommandLine commandLine;
  bool optionsEnded = false;
  for (int index = 1; index < argc && commandLine.action != Action::badUsage; ++index) {
    const std::string_view argument = argv[index];
    const bool isOption = !optionsEnded && argument.size() > 1 && argument[0] == '-';
    if (!isOption) {
      if (!optionsEnded && slashQuestionMarkIsHelp && argument == "/?")
        apply(*findShort('h'), argument, std::nullopt, commandLine);  // -h by another name
      else
        refuse(commandLine, "unexpected argument " + quoted(argument));
    } else if (argument == "--") {
      optionsEnded = true;
    } else if (argument.starts_with("--")) {
      const std::size_t equals = argument.find('=');
      const std::string_view spelling = argument.substr(0, equals);
      const OptionName* option = findLong(spelling.substr(2));
      std::optional<std::string_view> value;
      if (equals != std::string_view::npos)
        value = argument.substr(equals + 1);
      if (option == nullptr) {
        refuse(commandLine, "unknown option " + quoted(spelling));
      } else if (option->valueWanted.empty() && value) {
        refuse(commandLine, quoted(spelling) + " takes no value");
      } else {
        if (!option->valueWanted.empty())
          value = valueOf(value, index, argc, argv);
        apply(*option, spelling, value, commandLine);
      }
    } else {
      // Short options, one after another; one with a value takes the rest of the argument, or
      // else the next argument.
      for (std::size_t at = 1; at < argument.size() && commandLine.action != Action::badUsage;
           ++at) {
        const std::string spelling = {'-', argument[at]};
        const OptionName* option = findShort(argument[at]);
        if (option == nullptr) {
          refuse(commandLine, "unknown option " + quoted(spelling));
          break;
        }
        std::optional<std::string_view> value;
        if (!option->valueWanted.empty()) {
          value = valueOf(
              at + 1 < argument.size() ? std::optional(argument.substr(at + 1)) : std::nullopt,
              index, argc, argv);
          at = argument.size();
        }
        apply(*option, spelling, value, commandLine);
      }
    }
  }
  return commandLine;
}

}  // namespace farspeak
