// The command line: what the user asked the program to do.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "receiver/access_rules.h"
#include "receiver/program_info.h"

namespace farspeak {

inline constexpr std::uint16_t defaultPort = 52525;

// How the receiver is to run.
struct Options {
  std::uint16_t port = defaultPort;  // -p, --port N: 0 (a free port) to 65535
  // -l, --listen ADDR, any number of times: an IPv4 or IPv6 address or a host name, as given;
  // none: every IPv4 address.
  std::vector<std::string> listenAddresses;
  AccessRules access;       // --allow RANGE, --deny RANGE, --max-clients N
  bool tag = false;         // -t, --tag: each piece starts with the client's address
  bool timestamps = false;  // -T, --timestamps: each piece starts with the local time
  bool json = false;        // --json: one JSON record per line
  bool ansi = false;        // --ansi: the clients' colour sequences pass

  bool operator==(const Options&) const = default;
};

struct CommandLine {
  enum class Action { run, help, version, badUsage };
  Action action = Action::run;
  Options options;  // meant for run; the values read so far otherwise
  // help: the usage text, ending in a line feed; version: "farspeak X.Y.Z"; badUsage: one line
  // saying what is wrong, "farspeak: unknown option '--colour'", without a line feed.
  std::string text;
};

// Reads the arguments after the program's name, left to right: the first mistake decides, and
// nothing after it is read; without one, the first request for help or the version decides, so
// that a mistake beside it is not passed over in silence. Short options combine
// (-tT), and a value follows its option or is joined to it (-p 8080, -p8080, --port 8080,
// --port=8080); "--" ends the options. Every argument that is not an option is a mistake, "/?"
// apart when `slashQuestionMarkIsHelp`.
CommandLine parseCommandLine(int argc, const char* const* argv,
                             bool slashQuestionMarkIsHelp = windowsConventions);

}  // namespace farspeak
