#include "receiver/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "plinth/net/sockets.h"

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

// A range as the system reads its address.
AddressRange range(const char* address, int prefixLength) {
  AddressRange range;
  range.prefixLength = prefixLength;
  plinth::startSockets();  // Windows reads no address before
  EXPECT_TRUE(plinth::platform::services.numericAddress(address, &range.address)) << address;
  return range;
}

Options withRules(AccessRules rules) {
  Options options;
  options.access = std::move(rules);
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
      {{"-l", "::ffff:127.0.0.1"}, withAddresses({"::ffff:127.0.0.1"})},      // IPv4, mapped
      {{"-l", "127.0.0.1", "-l", "::"}, withAddresses({"127.0.0.1", "::"})},  // two families
      {{"--allow", "10.0.0.0/8", "--allow=::1", "--deny", "10.0.0.5", "--max-clients", "50"},
       withRules({{range("10.0.0.0", 8), range("::1", 128)}, {range("10.0.0.5", 32)}, 50})},
      {{"--deny", "fe80::/10", "--deny=fe80::/10", "--allow", "0.0.0.0/0"},
       withRules({{range("0.0.0.0", 0)}, {range("fe80::", 10)}})},  // each range once
      {{"--allow", "192.168.1.6/31", "--max-clients=1000000"},
       withRules({{range("192.168.1.6", 31)}, {}, 1'000'000})},
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
  const std::string wanted = "needs an IPv4 or IPv6 address or range";
  const std::string most = "needs a number from 1 to 1000000";
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
      // Forms that some systems read as IPv4 addresses, and others as names.
      {{"-l", "0x7f000001"}, "'-l' " + address + ": '0x7f000001' is no IPv4 address"},
      {{"-l", "fe80::1%nosuch"},
       "'-l' " + address +
           ": 'fe80::1%nosuch' has a zone, but there is no interface named 'nosuch'"},
      {{"-l", "::", "--listen=::1"}, "listen addresses '::' and '::1' overlap: give one of them"},
      {{"-l", "127.0.0.1", "-l", "::1", "-l", "0.0.0.0"},
       "listen addresses '127.0.0.1' and '0.0.0.0' overlap: give one of them"},
      {{"--allow"}, "'--allow' " + wanted},
      {{"--deny", "10.0.0/8"}, "'--deny' " + wanted + ": '10.0.0/8' is no IPv4 range"},
      {{"--allow", "10.0.0.0/"}, "'--allow' " + wanted + ": '10.0.0.0/' is no IPv4 range"},
      {{"--allow", "1::2::3"}, "'--allow' " + wanted + ": '1::2::3' is no IPv6 address"},
      {{"--allow", "localhost"},
       "'--allow' " + wanted +
           ": 'localhost' is no IPv4 or IPv6 address; host names are not taken"},
      {{"--allow", "fe80::%1/10"},
       "'--allow' " + wanted + ": 'fe80::%1/10' has a zone, which a range does not take"},
      {{"--allow", "10.0.0.0/33"},
       "'--allow' " + wanted + ": '10.0.0.0/33' has a prefix longer than IPv4's 32 bits"},
      {{"--deny=::/129"},
       "'--deny' " + wanted + ": '::/129' has a prefix longer than IPv6's 128 bits"},
      {{"--allow", "10.1.2.3/8"},
       "'--allow' " + wanted + ": '10.1.2.3/8' has host bits set (the range is 10.0.0.0/8)"},
      {{"--allow", "fe80::1/10"},
       "'--allow' " + wanted + ": 'fe80::1/10' has host bits set (the range is fe80::/10)"},
      {{"--allow", "::ffff:10.0.0.0/104"},
       "'--allow' " + wanted + ": '::ffff:10.0.0.0/104' is IPv4-mapped: write its IPv4 form"},
      {{"--max-clients", "0"}, "'--max-clients' " + most + ", not '0'"},
      {{"--max-clients", "1000001"}, "'--max-clients' " + most + ", not '1000001'"},
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

// The ranges hold the addresses under their prefix and no other; the rule says in one line what
// the options ask for (the end-to-end tests see it after the banner).
TEST(CommandLineTest, RangesHoldTheirAddressesAndTheRuleIsSaid) {
  const struct {
    const char* range;
    const char* peer;
    bool holds;
  } cases[] = {
      {"10.0.0.0/8", "10.255.255.255", true},  {"10.0.0.0/8", "11.0.0.0", false},
      {"192.168.1.6/31", "192.168.1.7", true}, {"192.168.1.6/31", "192.168.1.8", false},
      {"192.168.1.7", "192.168.1.7", true},    {"192.168.1.7", "192.168.1.6", false},
      {"0.0.0.0/0", "203.0.113.9", true},      {"0.0.0.0/0", "::1", false},
      {"fe80::/10", "febf::1", true},          {"fe80::/10", "fec0::1", false},
      {"fe80::/10", "fe80::1%1", true},        {"2001:db8::/127", "2001:db8::1", true},
  };
  for (const auto& [text, peerText, holds] : cases) {
    SCOPED_TRACE(std::string(text) + " holds " + peerText);
    const CommandLine commandLine = parse({"--allow", text});
    ASSERT_EQ(commandLine.action, Action::run) << commandLine.text;
    plinth::platform::SocketAddress peer;
    ASSERT_TRUE(plinth::platform::services.numericAddress(peerText, &peer));
    EXPECT_EQ(commandLine.options.access.allowed.at(0).contains(peer), holds);
  }

  const std::pair<Arguments, std::string> rules[] = {
      {{}, ""},
      {{"--deny", "10.0.0.5"}, "Clients allowed from anywhere except 10.0.0.5"},
      {{"--allow", "10.0.0.0/8", "--allow", "fe80::/10", "--allow", "::1", "--deny", "10.0.0.5",
        "--deny", "10.0.0.6", "--max-clients", "1"},
       "Clients allowed from 10.0.0.0/8, fe80::/10 and ::1, except 10.0.0.5 and 10.0.0.6; at most "
       "1 "
       "at once"},
  };
  for (const auto& [arguments, sentence] : rules) {
    SCOPED_TRACE(shown(arguments));
    EXPECT_EQ(parse(arguments).options.access.sentence(), sentence);
  }
}

}  // namespace
}  // namespace farspeak
