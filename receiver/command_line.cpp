#include "receiver/command_line.h"

#include <charconv>
#include <optional>
#include <string_view>

#include "plinth/net/sockets.h"
#include "plinth/platform/platform.h"
#include "receiver/line_assembler.h"

namespace farspeak {
namespace {

using Action = CommandLine::Action;

enum class Option { port, listen, tag, timestamps, json, ansi, help, version };

struct OptionName {
  Option option;
  char shortName;  // '\0' for an option with a long name only
  std::string_view longName;
  std::string_view valueWanted;  // what its value must be; empty for an option without one
};

constexpr OptionName optionNames[] = {
    {Option::port, 'p', "port", "a number from 0 to 65535"},
    {Option::listen, 'l', "listen", "an IPv4 or IPv6 address or a host name"},
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

// 0 asks the system for a free port.
std::optional<std::uint16_t> parsePort(std::string_view text) {
  unsigned value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end || value > 65535)
    return std::nullopt;
  return static_cast<std::uint16_t>(value);
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

// What a listen address reads as: with a ':', an IPv6 address; of digits and dots only, an IPv4
// address; anything else, a host name, looked up at start-up. Empty when it is a name, or the
// reason it is refused: malformed, or an address that no client connects to (multicast,
// broadcast).
std::optional<std::string> refusedListenAddress(const std::string& text) {
  const bool ipv6 = text.find(':') != std::string::npos;
  const bool ipv4 = !text.empty() && text.find_first_not_of("0123456789.") == std::string::npos;
  if (!ipv6 && !ipv4)
    return std::nullopt;
  plinth::platform::SocketAddress address;
  plinth::startSockets();  // Windows reads no address before
  // An IPv6 address is hex digits, colons and maybe a dotted IPv4 tail, then its zone after a %;
  // some systems' readers take more (brackets), which no other system would.
  const bool ipv6Characters =
      text.substr(0, text.find('%')).find_first_not_of("0123456789abcdefABCDEF:.") ==
      std::string::npos;
  if ((ipv4 && !isIpv4Address(text)) || (ipv6 && !ipv6Characters) ||
      !plinth::platform::services.numericAddress(text.c_str(), &address) ||
      (address.family == plinth::platform::AddressFamily::ipv6) != ipv6) {
    return ipv6 ? "is no IPv6 address" : "is no IPv4 address";
  }
  const std::uint8_t* bytes = address.bytes;
  const bool multicast = ipv6 ? bytes[0] == 0xFF : (bytes[0] & 0xF0) == 0xE0;
  const bool broadcast =
      !ipv6 && bytes[0] == 255 && bytes[1] == 255 && bytes[2] == 255 && bytes[3] == 255;
  if (multicast || broadcast)
    return multicast ? "is a multicast address" : "is the broadcast address";
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
      if (const std::optional<std::uint16_t> port = parsePort(*value)) {
        options.port = *port;
      } else {
        refuse(commandLine,
               "port must be " + std::string(option.valueWanted) + ", not " + quoted(*value));
      }
      break;
    case Option::listen:
      if (const std::optional<std::string> refused = refusedListenAddress(std::string(*value))) {
        refuse(commandLine, quoted(spelling) + " needs " + std::string(option.valueWanted) + ": " +
                                quoted(*value) + " " + *refused);
      } else if (value->empty()) {
        refuse(commandLine,
               quoted(spelling) + " needs " + std::string(option.valueWanted) + ", not ''");
      } else {
        options.listenAddresses.emplace_back(*value);
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
