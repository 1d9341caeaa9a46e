#include "receiver/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace farspeak {
namespace {

using Action = CommandLine::Action;
using Arguments = std::vector<std::string>;

CommandLine parse(const Arguments& arguments, bool slashQuestionMarkIsHelp = false) {
  std::vector<const char*> argv = {"farspeak"};
  for (const std::string& argument : arguments)
    argv.push_back(argument.c_str());
  argv.push_back(nullptr);  // as the system passes them
  return parseCommandLine(static_cast<int>(argv.size() - 1), argv.data(), slashQuestionMarkIsHelp);
}

std::string shown(const Arguments& arguments) {
  std::string text = "farspeak";
  for (const std::string& argument : arguments)
    text += " [" + argument + "]";
  return text;
}

Options withPort(std::uint16_t port) {
  Options options;
  options.port = port;
  return options;
}

Options withAddresses(std::vector<std::string> addresses) {
  Options options;
  options.listenAddresses = std::move(addresses);
  return options;
}

Options withFlags(bool tag, bool timestamps) {
  Options options;
  options.tag = tag;
  options.timestamps = timestamps;
  return options;
}

TEST(CommandLineTest, EveryFormOfTheOptionsRuns) {
  Options everything = withFlags(true, true);
  everything.port = 6000;
  everything.listenAddresses = {"127.0.0.1"};
  Options json;
  json.json = true;
  Options ansi = withFlags(true, false);
  ansi.ansi = true;
  const struct {
    Arguments arguments;
    Options options;
  } cases[] = {
      {{}, Options{}},
      {{"-p", "8080"}, withPort(8080)},
      {{"-p8080"}, withPort(8080)},
      {{"--port", "8080"}, withPort(8080)},
      {{"--port=8080"}, withPort(8080)},
      {{"-p", "0"}, withPort(0)},  // a free port, which the system picks
      {{"-p", "1"}, withPort(1)},
      {{"-p", "65535"}, withPort(65535)},
      {{"-p", "08080"}, withPort(8080)},
      {{"-p", "1", "--port=2"}, withPort(2)},  // the last one counts
      {{"-l", "127.0.0.1"}, withAddresses({"127.0.0.1"})},
      {{"-l0.0.0.0"}, withAddresses({"0.0.0.0"})},
      {{"--listen=10.20.0.199"}, withAddresses({"10.20.0.199"})},
      {{"-l", "0.0.0.0", "-l", "::"}, withAddresses({"0.0.0.0", "::"})},  // each one counts
      {{"-l", "::1", "--listen=2001:db8::7"}, withAddresses({"::1", "2001:db8::7"})},
      {{"-l", "localhost"}, withAddresses({"localhost"})},  // a name: looked up at start-up
      {{"-l", "no-such-host.invalid"}, withAddresses({"no-such-host.invalid"})},
      {{"--json"}, json},
      {{"--ansi", "-t"}, ansi},
      {{"-t", "--ansi", "--ansi"}, ansi},
      {{"-t"}, withFlags(true, false)},
      {{"--tag"}, withFlags(true, false)},
      {{"-T"}, withFlags(false, true)},
      {{"--timestamps"}, withFlags(false, true)},
      {{"-tT"}, withFlags(true, true)},
      {{"-T", "-t", "-t"}, withFlags(true, true)},
      {{"-tTp", "6000", "--listen", "127.0.0.1"}, everything},
      {{"-tTp6000", "-l127.0.0.1"}, everything},
      {{"--"}, Options{}},
      {{"-t", "--"}, withFlags(true, false)},
  };
  for (const auto& [arguments, options] : cases) {
    SCOPED_TRACE(shown(arguments));
    const CommandLine commandLine = parse(arguments);
    EXPECT_EQ(commandLine.action, Action::run) << commandLine.text;
    EXPECT_EQ(commandLine.text, "");
    EXPECT_TRUE(commandLine.options == options);
  }
}

TEST(CommandLineTest, AMistakeAnywhereIsBadUsageAndElseTheFirstRequestIsAnswered) {
  const std::string version = "farspeak " + std::string(programVersion);
  const struct {
    Arguments arguments;
    bool slashQuestionMarkIsHelp;
    Action action;
  } cases[] = {
      {{"-h"}, false, Action::help},
      {{"--help"}, false, Action::help},
      {{"-V"}, false, Action::version},
      {{"--version"}, false, Action::version},
      {{"-tV"}, false, Action::version},
      {{"-p", "8080", "--help"}, false, Action::help},
      {{"--version", "--help"}, false, Action::version},
      {{"-hV"}, false, Action::help},
      {{"--help", "--ansi", "-p", "0"}, false, Action::help},
      {{"--help", "--colour"}, false, Action::badUsage},
      {{"--version", "--bogus"}, false, Action::badUsage},
      {{"-V", "extra"}, false, Action::badUsage},
      {{"-hx"}, false, Action::badUsage},
      {{"--help", "-p"}, false, Action::badUsage},
      {{"--colour", "--help"}, false, Action::badUsage},
      {{"-p", "70000", "--version"}, false, Action::badUsage},
      {{"/?"}, true, Action::help},
      {{"-t", "/?"}, true, Action::help},
      {{"/?", "/x"}, true, Action::badUsage},
      {{"/?"}, false, Action::badUsage},
      {{"--", "/?"}, true, Action::badUsage},
      {{"--", "--help"}, false, Action::badUsage},
  };
  for (const auto& [arguments, slashQuestionMarkIsHelp, action] : cases) {
    SCOPED_TRACE(shown(arguments));
    const CommandLine commandLine = parse(arguments, slashQuestionMarkIsHelp);
    EXPECT_EQ(commandLine.action, action) << commandLine.text;
    if (action == Action::help) {
      EXPECT_EQ(commandLine.text.rfind("Usage: farspeak ", 0), 0u);
      EXPECT_EQ(commandLine.text.back(), '\n');
    }
    if (action == Action::version) {
      EXPECT_EQ(commandLine.text, version);
    }
  }
}

TEST(CommandLineTest, BadUsageSaysExactlyWhatIsWrong) {
  const std::string port = "port must be a number from 0 to 65535, not ";
  const std::string address = "needs an IPv4 or IPv6 address or a host name";
  const struct {
    Arguments arguments;
    std::string reason;
  } cases[] = {
      {{"--colour"}, "unknown option '--colour'"},
      {{"--colour=red"}, "unknown option '--colour'"},
      {{"--Port=80"}, "unknown option '--Port'"},
      {{"---port"}, "unknown option '---port'"},
      {{"-x"}, "unknown option '-x'"},
      {{"-tx"}, "unknown option '-x'"},
      {{"--tag=yes"}, "'--tag' takes no value"},
      {{"--ansi=yes"}, "'--ansi' takes no value"},
      {{"--version", "--bogus", "-x"}, "unknown option '--bogus'"},  // the first mistake
      {{"--help="}, "'--help' takes no value"},
      {{"-p"}, "'-p' needs a number from 0 to 65535"},
      {{"-t", "--port"}, "'--port' needs a number from 0 to 65535"},
      {{"--port="}, port + "''"},
      {{"-p", "65536"}, port + "'65536'"},
      {{"--port=70000"}, port + "'70000'"},
      {{"-p", "99999999999999999999"}, port + "'99999999999999999999'"},
      {{"-p", "-1"}, port + "'-1'"},
      {{"-p", "+80"}, port + "'+80'"},
      {{"-p", " 80"}, port + "' 80'"},
      {{"-p80x"}, port + "'80x'"},
      {{"-p", "-t"}, port + "'-t'"},  // a value is taken as it comes
      {{"-l"}, "'-l' " + address},
      {{"-l", ""}, "'-l' " + address + ", not ''"},
      {{"-l", "256.0.0.1"}, "'-l' " + address + ": '256.0.0.1' is no IPv4 address"},
      {{"-l", "1.2.3"}, "'-l' " + address + ": '1.2.3' is no IPv4 address"},
      {{"-l", "1.2.3.4.5"}, "'-l' " + address + ": '1.2.3.4.5' is no IPv4 address"},
      {{"-l", "1..3.4"}, "'-l' " + address + ": '1..3.4' is no IPv4 address"},
      {{"-l", "010.0.0.1"}, "'-l' " + address + ": '010.0.0.1' is no IPv4 address"},
      {{"--listen", "1:2:3"}, "'--listen' " + address + ": '1:2:3' is no IPv6 address"},
      {{"-l", "::1::"}, "'-l' " + address + ": '::1::' is no IPv6 address"},
      {{"-l", "[::1]"}, "'-l' " + address + ": '[::1]' is no IPv6 address"},
      {{"-l", "1.2.3.4:80"}, "'-l' " + address + ": '1.2.3.4:80' is no IPv6 address"},
      {{"-l", "224.0.0.1"}, "'-l' " + address + ": '224.0.0.1' is a multicast address"},
      {{"-l", "239.255.255.250"}, "'-l' " + address + ": '239.255.255.250' is a multicast address"},
      {{"-l", "ff02::1"}, "'-l' " + address + ": 'ff02::1' is a multicast address"},
      {{"--listen", "255.255.255.255"},
       "'--listen' " + address + ": '255.255.255.255' is the broadcast address"},
      {{"foo"}, "unexpected argument 'foo'"},
      {{"-t", "foo", "-T"}, "unexpected argument 'foo'"},
      {{"-"}, "unexpected argument '-'"},
      {{""}, "unexpected argument ''"},
      {{"--", "-t"}, "unexpected argument '-t'"},
      // Bytes beyond printable ASCII are shown as \ddd, whatever the system's encoding.
      {{"--col\x1b[31mour"}, "unknown option '--col\\027[31mour'"},
      {{"--p\xC3\xB6rt"}, "unknown option '--p\\195\\182rt'"},
      {{"-\t"}, "unknown option '-\\009'"},
  };
  for (const auto& [arguments, reason] : cases) {
    SCOPED_TRACE(shown(arguments));
    const CommandLine commandLine = parse(arguments);
    EXPECT_EQ(commandLine.action, Action::badUsage);
    EXPECT_EQ(commandLine.text, "farspeak: " + reason);
  }
}

}  // namespace
}  // namespace farspeak
