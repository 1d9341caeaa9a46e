// The real farspeak program as a child process, with clients on the loopback address. Each
// program takes a free port (-p 0), which the test reads from its banner: these tests run beside
// each other and beside a Farspeak in use.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "plinth/platform/platform.h"
#include "receiver/program_info.h"
#include "tests/support/announced_port.h"
#include "tests/support/child_process.h"
#include "tests/support/escape_model.h"
#include "tests/support/socket.h"

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

namespace farspeak {
namespace {

using plinth::platform::invalidSocket;
using plinth::platform::ShutdownDirection;
using plinth::platform::SocketHandle;
using test_support::ErrorStream;
using test_support::runningUnderWine;
using test_support::Socket;
using test_support::undoTextMode;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const plinth::platform::Services& net = plinth::platform::realServices();

constexpr std::uint16_t defaultPort = 52525;
// Generous limits: Wine takes a second or more to start a process, and the machine is shared.
constexpr milliseconds startLimit{30'000};
constexpr milliseconds replyLimit{10'000};

const std::string incomingLine = "Incoming connection from 127.0.0.1\r\n";
const std::string closedLine = "Connection from 127.0.0.1 closed\r\n";
const std::string lostLine = "Connection from 127.0.0.1 lost\r\n";

std::size_t countOf(const std::string& text, std::string_view piece) {
  std::size_t count = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
    ++count;
  return count;
}

// A file that another process writes: what it holds so far. Each look reads only what is new.
class GrowingFile {
 public:
  explicit GrowingFile(const std::string& path) : file_(path, std::ios::binary) {}

  const std::string& text() {
    for (;;) {
      // An end of file met earlier is no end: the writer may have added more. Some C runtimes
      // remember the end until the file is repositioned, hence the seek.
      file_.clear();
      file_.seekg(static_cast<std::streamoff>(text_.size()));
      file_.read(chunk_.data(), static_cast<std::streamsize>(chunk_.size()));
      const auto count = static_cast<std::size_t>(file_.gcount());
      text_.append(chunk_.data(), count);
      if (count < chunk_.size())
        return text_;
    }
  }

  // Looks every few milliseconds until `ready` holds for the text; false after `limit`.
  bool waitUntil(const std::function<bool(const std::string&)>& ready,
                 milliseconds limit = replyLimit) {
    const auto deadline = Clock::now() + limit;
    while (!ready(text())) {
      if (Clock::now() >= deadline)
        return false;
      std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
  }

  bool waitFor(std::string_view piece, std::size_t times = 1, milliseconds limit = replyLimit) {
    return waitUntil([&](const std::string& text) { return countOf(text, piece) >= times; }, limit);
  }

 private:
  std::ifstream file_;
  std::vector<char> chunk_ = std::vector<char>(1 << 16);
  std::string text_;
};

// Whether the program gets "-p 0" ahead of its arguments, or only the arguments.
enum class Port { free, asArgumentsSay };

std::vector<std::string> withPort(Port port, const std::vector<std::string>& arguments) {
  std::vector<std::string> all;
  if (port == Port::free)
    all = {"-p", "0"};  // a -p among the arguments comes later, and counts
  all.insert(all.end(), arguments.begin(), arguments.end());
  return all;
}

// The program, with what it writes to its two streams.
struct Farspeak {
  explicit Farspeak(const std::vector<std::string>& arguments = {},
                    ErrorStream errorStream = ErrorStream::ownFile, Port port = Port::free)
      : child(FARSPEAK_PROGRAM, withPort(port, arguments), errorStream),
        output(child.outputPath()),
        error(child.errorPath()) {}

  // The banner's last line is out once the program listens; `port` is then the one it names.
  // Fails as soon as the program has exited, showing what it wrote.
  ::testing::AssertionResult waitUntilListening() {
    std::optional<int> exitCode;
    const bool bannerOut =
        child.started() && error.waitUntil(
                               [&](const std::string& text) {
                                 exitCode = child.waitForExit(milliseconds(0));
                                 const std::size_t at = text.find("host address=");
                                 return exitCode || (at != std::string::npos &&
                                                     text.find("\r\n", at) != std::string::npos);
                               },
                               startLimit);
    const std::optional<std::uint16_t> announced = test_support::announcedPort(error.text());
    if (bannerOut && !exitCode && announced) {
      port = *announced;
      return ::testing::AssertionSuccess();
    }
    ::testing::AssertionResult failure = ::testing::AssertionFailure();
    if (!child.started())
      failure << "the program did not start";
    else if (exitCode)
      failure << "the program exited with code " << *exitCode;
    else
      failure << "no banner with a port within " << startLimit.count() << " ms";
    failure << "; standard error:\n" << error.text();
    if (child.outputPath() != child.errorPath())
      failure << "\nstandard output:\n" << output.text();
    return failure;
  }

  test_support::ChildProcess child;
  GrowingFile output;
  GrowingFile error;
  std::uint16_t port = 0;  // once listening
};

// A port free at the moment; the test hands it to the program at once.
std::uint16_t freePort() {
  using plinth::platform::AddressFamily;
  Socket probe(net.openStreamSocket(AddressFamily::ipv4));
  std::uint16_t port = 0;
  if (probe.get() != invalidSocket &&
      net.bindAddress(probe.get(), plinth::platform::loopbackAddress(AddressFamily::ipv4, 0)))
    net.localPort(probe.get(), &port);
  return port;
}

// Whether this machine has the IPv6 loopback address.
bool hasIpv6Loopback() {
  using plinth::platform::AddressFamily;
  Socket probe(net.openStreamSocket(AddressFamily::ipv6));
  return probe.get() != invalidSocket &&
         net.bindAddress(probe.get(), plinth::platform::loopbackAddress(AddressFamily::ipv6, 0));
}

class Client {
 public:
  // From `source`, a loopback address of the family, when given: the program sees the client
  // come from there.
  bool connect(std::uint16_t port,
               plinth::platform::AddressFamily family = plinth::platform::AddressFamily::ipv4,
               const char* source = nullptr) {
    socket_ = Socket(net.openStreamSocket(family));
    plinth::platform::SocketAddress from;
    if (source != nullptr &&
        !(net.numericAddress(source, &from) && net.bindAddress(socket_.get(), from))) {
      return false;
    }
    return socket_.get() != invalidSocket &&
           test_support::connectTo(socket_.get(), plinth::platform::loopbackAddress(family, port));
  }

  // Whether the program reset the connection within `limit`, without a byte sent (under Wine,
  // which passes a reset on as an orderly close, ended it).
  bool isReset(milliseconds limit = replyLimit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
      if (net.poll(socket_.get(), plinth::platform::PollDirection::readable).ready) {
        char byte = 0;
        const int received = net.receive(socket_.get(), &byte, 1);
        return received < 0 || (received == 0 && runningUnderWine());
      }
      std::this_thread::sleep_for(milliseconds(2));
    }
    return false;
  }

  // The port this end has, as the program sees the client.
  std::uint16_t port() const {
    std::uint16_t number = 0;
    net.localPort(socket_.get(), &number);
    return number;
  }

  bool send(std::string_view bytes) {
    while (!bytes.empty()) {
      const int sent = net.send(socket_.get(), bytes.data(), static_cast<int>(bytes.size()));
      if (sent <= 0)
        return false;
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
  }

  // No more bytes from this side.
  void endSending() { net.shutdown(socket_.get(), ShutdownDirection::send); }

  // The orderly end: the program reads the end of the stream.
  void close() {
    endSending();
    socket_.close();
  }

  // A zero linger time makes the close a reset.
  void reset() {
    net.setLinger(socket_.get(), 0);
    socket_.close();
  }

 private:
  Socket socket_;
};

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(net.startSockets(), 0); }
};

// How the tests, the bench and the stress suite find the port of a program started with -p 0.
TEST(AnnouncedPortTest, IsReadFromTheBannersFirstLineOnceItIsThere) {
  const std::pair<std::string_view, std::optional<std::uint16_t>> cases[] = {
      {"Farspeak started on port 41877!\r\nhostname=box\r\n", 41877},
      {"a warning\r\nFarspeak started on port 1!\r\n", 1},
      {"Farspeak started on port 65535!", 65535},
      {"Farspeak started on port 4187", std::nullopt},  // more digits may follow
      {"Farspeak started on port ", std::nullopt},
      {"", std::nullopt},
      {"Farspeak started on port 0!\r\n", std::nullopt},
      {"Farspeak started on port 65536!\r\n", std::nullopt},
      {"Couldn't start the server\r\na free port is already in use (why)\r\n", std::nullopt},
  };
  for (const auto& [text, port] : cases)
    EXPECT_EQ(test_support::announcedPort(text), port) << text;
}

// The one test on the default port, which a Farspeak in use may hold.
TEST_F(EndToEndTest, AnnouncesItselfOnStandardErrorWithCrLfLineEnds) {
  Farspeak farspeak({}, ErrorStream::ownFile, Port::asArgumentsSay);
  const ::testing::AssertionResult listening = farspeak.waitUntilListening();
  const std::string taken = "port " + std::to_string(defaultPort) + " is already in use";
  if (!listening && farspeak.error.text().find(taken) != std::string::npos)
    GTEST_SKIP() << taken << " here (a Farspeak running?): the default port is not checked";
  ASSERT_TRUE(listening);

  char hostName[256] = {};
  ASSERT_TRUE(net.hostName(hostName, sizeof hostName));
  std::string addresses;
  for (const std::string& address : net.interfaceAddresses(plinth::platform::AddressFamily::ipv4))
    addresses += (addresses.empty() ? "" : ", ") + address;
  if (addresses.empty())
    addresses = "127.0.0.1";
  EXPECT_EQ(farspeak.error.text(), "Farspeak started on port " + std::to_string(defaultPort) +
                                       "!\r\nhostname=" + std::string(hostName) +
                                       "\r\nhost address=" + addresses + "\r\n");
  EXPECT_EQ(farspeak.output.text(), "");
  Client client;
  EXPECT_TRUE(client.connect(defaultPort));
}

TEST_F(EndToEndTest, AnswersHelpVersionAndBadUsageWithoutStarting) {
  struct Case {
    std::vector<std::string> arguments;
    int exitCode;
    std::string output;
    std::string error;
  };
  const std::string help(helpText);
  const auto refusal = [](const std::string& reason) {
    return "farspeak: " + reason + "\r\nTry 'farspeak --help'.\r\n";
  };
  const Case cases[] = {
      {{"--help"}, 0, help, ""},
      {{"-V"}, 0, "farspeak " + std::string(programVersion) + "\n", ""},
      {{"/?"},
       windowsConventions ? 0 : 2,
       windowsConventions ? help : "",
       windowsConventions ? "" : refusal("unexpected argument '/?'")},
      {{"--colour"}, 2, "", refusal("unknown option '--colour'")},
      {{"--version", "--bogus"}, 2, "", refusal("unknown option '--bogus'")},
      {{"-p", "70000"}, 2, "", refusal("port must be a number from 0 to 65535, not '70000'")},
      {{"--listen", "1:2:3"},
       2,
       "",
       refusal("'--listen' needs an IPv4 or IPv6 address or a host name: '1:2:3' is no IPv6 "
               "address")},
      // Blanks, quotes and a last backslash reach the program as they were given.
      {{"-t", "say \"hi\" \\"}, 2, "", refusal("unexpected argument 'say \"hi\" \\'")},
  };
  for (const Case& expected : cases) {
    std::string command = "farspeak";
    for (const std::string& argument : expected.arguments)
      command += " " + argument;
    SCOPED_TRACE(command);
    test_support::ChildProcess child(FARSPEAK_PROGRAM, expected.arguments);
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.waitForExit(startLimit), expected.exitCode);
    const std::string output = GrowingFile(child.outputPath()).text();
    const std::string error = GrowingFile(child.errorPath()).text();
    EXPECT_EQ(undoTextMode(output), expected.output);
    EXPECT_EQ(error, expected.error);
  }
}

// Whether `text` is `pattern`, where "{time}" in the pattern stands for a time of day as the
// program writes it ("14:03:27.512 ") and "{port}" for `port`.
bool matches(std::string_view text, const std::string& pattern, std::uint16_t port) {
  constexpr std::string_view timeName = "{time}";
  constexpr std::string_view timeShape = "00:00:00.000 ";  // 0: any digit
  const std::string portText = std::to_string(port);
  for (std::size_t at = 0; at < pattern.size();) {
    if (pattern.compare(at, timeName.size(), timeName) == 0) {
      if (text.size() < timeShape.size())
        return false;
      for (std::size_t index = 0; index < timeShape.size(); ++index) {
        const bool digit = text[index] >= '0' && text[index] <= '9';
        if (timeShape[index] == '0' ? !digit : text[index] != timeShape[index])
          return false;
      }
      text.remove_prefix(timeShape.size());
      at += timeName.size();
    } else if (pattern.compare(at, 6, "{port}") == 0) {
      if (!text.starts_with(portText))
        return false;
      text.remove_prefix(portText.size());
      at += 6;
    } else {
      if (text.empty() || text.front() != pattern[at])
        return false;
      text.remove_prefix(1);
      ++at;
    }
  }
  return text.empty();
}

// What each option does to the banner, the client's line and the connect line.
TEST_F(EndToEndTest, OptionsSetThePortTheAddressAndThePrefixes) {
  struct Case {
    std::vector<std::string> arguments;
    bool portGiven;       // the port is `given`; otherwise a free one, as the banner says
    std::string address;  // on the banner's host address= line; empty: not checked
    std::string line;     // the client's line as written (see matches)
    std::string incoming;
  };
  const std::uint16_t port = freePort();
  ASSERT_NE(port, 0);
  const std::string given = std::to_string(port);
  const Case cases[] = {
      {{"-p", given}, true, "", "hi\n", "Incoming connection from 127.0.0.1"},
      {{"--listen=127.0.0.1"}, false, "127.0.0.1", "hi\n", "Incoming connection from 127.0.0.1"},
      {{"-l", "::ffff:127.0.0.1"},
       false,
       "127.0.0.1",
       "hi\n",
       "Incoming connection from 127.0.0.1"},
      {{"-t"}, false, "", "[127.0.0.1:{port}] hi\n", "Incoming connection from [127.0.0.1:{port}]"},
      {{"--timestamps"}, false, "", "{time}hi\n", "{time}Incoming connection from 127.0.0.1"},
      {{"-Tt", "--port", given},
       true,
       "",
       "{time}[127.0.0.1:{port}] hi\n",
       "{time}Incoming connection from [127.0.0.1:{port}]"},
  };
  for (const Case& expected : cases) {
    std::string command = "farspeak";
    for (const std::string& argument : expected.arguments)
      command += " " + argument;
    SCOPED_TRACE(command);
    Farspeak farspeak(expected.arguments);
    ASSERT_TRUE(farspeak.waitUntilListening());
    const std::string& banner = farspeak.error.text();
    if (expected.portGiven) {
      EXPECT_EQ(farspeak.port, port);
    }
    if (!expected.address.empty()) {
      EXPECT_NE(banner.find("host address=" + expected.address + "\r\n"), std::string::npos);
    }

    Client client;
    ASSERT_TRUE(client.connect(farspeak.port));
    const std::uint16_t clientPort = client.port();
    ASSERT_TRUE(client.send("hi\n"));
    client.close();
    ASSERT_TRUE(farspeak.error.waitFor(" closed\r\n")) << farspeak.error.text();
    EXPECT_TRUE(matches(undoTextMode(farspeak.output.text()), expected.line, clientPort))
        << farspeak.output.text();
    const std::string& error = farspeak.error.text();
    const std::size_t incoming = error.find("\r\n", error.find("host address=")) + 2;
    const std::string incomingLine =
        error.substr(incoming, error.find("\r\n", incoming) - incoming);
    EXPECT_TRUE(matches(incomingLine, expected.incoming, clientPort)) << incomingLine;
  }
}

// A line left open (a piece written early, or the last bytes of a client that went) is ended
// before another client's line, so that the two never share an output line.
TEST_F(EndToEndTest, LinesOfTwoClientsNeverShareAnOutputLine) {
  Farspeak farspeak;
  ASSERT_TRUE(farspeak.waitUntilListening());
  Client leaving;
  Client other;
  ASSERT_TRUE(leaving.connect(farspeak.port) && other.connect(farspeak.port));
  ASSERT_TRUE(leaving.send("done"));
  leaving.close();
  ASSERT_TRUE(farspeak.error.waitFor(closedLine)) << farspeak.error.text();
  ASSERT_TRUE(other.send("step 1\n"));
  ASSERT_TRUE(farspeak.output.waitFor("step 1"));

  Client slow;
  ASSERT_TRUE(slow.connect(farspeak.port));
  ASSERT_TRUE(slow.send("a line\n"));
  ASSERT_TRUE(farspeak.output.waitFor("a line"));
  ASSERT_TRUE(slow.send("half"));
  ASSERT_TRUE(farspeak.output.waitFor("half"));  // a piece, half a second later
  ASSERT_TRUE(other.send("step 2\n"));
  ASSERT_TRUE(farspeak.output.waitFor("step 2"));
  ASSERT_TRUE(slow.send(" and the rest\n"));
  ASSERT_TRUE(farspeak.output.waitFor("the rest"));
  EXPECT_EQ(undoTextMode(farspeak.output.text()),
            "done\nstep 1\na line\nhalf\nstep 2\n and the rest\n");
}

// With a prefix, a later piece of a line starts an output line of its own, marked "…".
TEST_F(EndToEndTest, APrefixedPieceThatContinuesALineIsMarked) {
  Farspeak farspeak({"--tag"});
  ASSERT_TRUE(farspeak.waitUntilListening());
  Client client;
  ASSERT_TRUE(client.connect(farspeak.port));
  const std::string tag = "[127.0.0.1:" + std::to_string(client.port()) + "] ";
  ASSERT_TRUE(client.send("a line\n"));
  ASSERT_TRUE(farspeak.output.waitFor("a line"));
  ASSERT_TRUE(client.send("half"));
  ASSERT_TRUE(farspeak.output.waitFor("half"));
  ASSERT_TRUE(client.send(" and the rest\n"));
  ASSERT_TRUE(farspeak.output.waitFor("the rest"));
  EXPECT_EQ(undoTextMode(farspeak.output.text()),
            tag + "a line\n" + tag + "half\n" + tag + "\xE2\x80\xA6 and the rest\n");
}

// With tags, a client cannot write a line that a reader splitting lines on CR, NEL or LS takes for
// another client's, nor a continuation mark of its own.
TEST_F(EndToEndTest, WithTagsAClientCannotForgeAnotherClientsLine) {
  Farspeak farspeak({"--tag"});
  ASSERT_TRUE(farspeak.waitUntilListening());
  Client client;
  ASSERT_TRUE(client.connect(farspeak.port));
  const std::string tag = "[127.0.0.1:" + std::to_string(client.port()) + "] ";
  const std::string forged = "[127.0.0.1:1] I am B\n";
  ASSERT_TRUE(client.send("a\r" + forged + "b\xC2\x85" + forged + "c\xE2\x80\xA8" + forged +
                          "\xE2\x80\xA6" + forged));
  ASSERT_TRUE(farspeak.output.waitFor("I am B", 4)) << farspeak.output.text();
  EXPECT_EQ(undoTextMode(farspeak.output.text()), tag + "a\\013" + forged + tag + "b\\194\\133" +
                                                      forged + tag + "c\\226\\128\\168" + forged +
                                                      tag + "\\226\\128\\166" + forged);
}

// IPv6 beside IPv4 when both are asked for, on the one port the banner names: a client of each,
// named as URLs write them.
TEST_F(EndToEndTest, ListensOnIpv6AndIpv4WhenAskedTo) {
  using plinth::platform::AddressFamily;
  if (!hasIpv6Loopback())
    GTEST_SKIP() << "no IPv6 loopback here";
  for (const char* six : {"::", "::1"}) {
    const char* four = six == std::string_view("::") ? "0.0.0.0" : "127.0.0.1";
    SCOPED_TRACE(std::string("-l ") + four + " -l " + six);
    Farspeak farspeak({"-l", four, "-l", six, "-t"});
    ASSERT_TRUE(farspeak.waitUntilListening());
    Client sixClient;
    ASSERT_TRUE(sixClient.connect(farspeak.port, AddressFamily::ipv6));
    Client fourClient;
    ASSERT_TRUE(fourClient.connect(farspeak.port));
    const std::string sixName = "[[::1]:" + std::to_string(sixClient.port()) + "]";
    const std::string fourName = "[127.0.0.1:" + std::to_string(fourClient.port()) + "]";
    ASSERT_TRUE(sixClient.send("over six\n"));
    ASSERT_TRUE(farspeak.output.waitFor("over six")) << farspeak.output.text();
    ASSERT_TRUE(fourClient.send("over four\n"));
    ASSERT_TRUE(farspeak.output.waitFor("over four")) << farspeak.output.text();
    sixClient.close();
    fourClient.close();
    ASSERT_TRUE(farspeak.error.waitFor(" closed\r\n", 2)) << farspeak.error.text();
    EXPECT_EQ(undoTextMode(farspeak.output.text()),
              sixName + " over six\n" + fourName + " over four\n");
    const std::string& error = farspeak.error.text();
    for (const std::string& line :
         {"Incoming connection from " + sixName, "Connection from " + sixName + " closed",
          "Incoming connection from " + fourName, "Connection from " + fourName + " closed"}) {
      EXPECT_NE(error.find(line + "\r\n"), std::string::npos) << line << " in " << error;
    }
  }
}

#ifndef _WIN32
// Records for programs: every one read back by jq, a real JSON parser.
TEST_F(EndToEndTest, JsonRecordsReadBackWithAParser) {
  const std::string jq = "/usr/bin/jq";
  if (!GrowingFile(jq).text().size())
    GTEST_SKIP() << "no " << jq << " here (scripts/prerequisites.sh installs it)";
  // -t has no effect on the records, which carry the client, but names it on standard error.
  Farspeak farspeak({"--json", "-t"});
  ASSERT_TRUE(farspeak.waitUntilListening());
  Client client;
  ASSERT_TRUE(client.connect(farspeak.port));
  const std::string name = "127.0.0.1:" + std::to_string(client.port());
  ASSERT_TRUE(client.send("tab\there \"q\" \\ caf\xC3\xA9\r\n"));
  ASSERT_TRUE(client.send("half"));
  ASSERT_TRUE(farspeak.output.waitFor("\"piece\"")) << farspeak.output.text();
  ASSERT_TRUE(client.send(" and the rest\n"));
  ASSERT_TRUE(client.send("bad \xFF\xC3 \xE2\x80\xA8 end\n"));
  client.close();
  ASSERT_TRUE(farspeak.output.waitFor("\"close\"")) << farspeak.output.text();
  ASSERT_TRUE(farspeak.child.requestStop());
  ASSERT_EQ(farspeak.child.waitForExit(replyLimit), 0);

  const std::string program =
      R"([.event, .client == ")" + name +
      R"(", (.time | test("^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3})"
      R"([+-][0-9]{2}:[0-9]{2}$")), .continues, .text, .raw] | @json)";
  test_support::ChildProcess parser(jq, {"-r", program, farspeak.child.outputPath()});
  ASSERT_EQ(parser.waitForExit(replyLimit), 0);
  EXPECT_EQ(GrowingFile(parser.outputPath()).text(),
            "[\"connect\",true,true,null,null,null]\n"
            "[\"line\",true,true,null,\"tab\\there \\\"q\\\" \\\\ café\\r\",null]\n"
            "[\"piece\",true,true,null,\"half\",null]\n"
            "[\"line\",true,true,true,\" and the rest\",null]\n"
            "[\"line\",true,true,null,\"bad \uFFFD\uFFFD \u2028 end\",\"YmFkIP/DIOKAqCBlbmQ=\"]\n"
            "[\"close\",true,true,null,null,null]\n")
      << farspeak.output.text();
  // jq gives U+2028 back as it is; the record must not have.
  EXPECT_NE(farspeak.output.text().find(" \\u2028 end"), std::string::npos);
  EXPECT_NE(farspeak.error.text().find("Incoming connection from [" + name + "]\r\n"),
            std::string::npos)
      << farspeak.error.text();
}

// Tags are coloured for a terminal, unless NO_COLOR says otherwise; redirected, never (the test
// above). The clients' own colours, asked for with --ansi, pass either way. `script` gives the
// program a terminal.
TEST_F(EndToEndTest, TagsAreColouredOnATerminalOnly) {
  const std::string script = "/usr/bin/script";
  if (!GrowingFile(script).text().size())
    GTEST_SKIP() << "no " << script << " here to give the program a terminal";
  const std::string program = std::string(FARSPEAK_PROGRAM) + " -p 0 --tag --ansi";
  for (const std::string& command : {program, "env NO_COLOR=1 " + program}) {
    SCOPED_TRACE(command);
    test_support::ChildProcess child(script, {"-qfec", command, "/dev/null"});
    GrowingFile terminal(child.outputPath());
    ASSERT_TRUE(terminal.waitFor("host address=", 1, startLimit)) << terminal.text();
    const std::optional<std::uint16_t> port = test_support::announcedPort(terminal.text());
    ASSERT_TRUE(port) << terminal.text();
    Client client;
    ASSERT_TRUE(client.connect(*port));
    const std::string name = "[127.0.0.1:" + std::to_string(client.port()) + "]";
    ASSERT_TRUE(client.send("\x1b[32mhi\n"));
    const std::string line = " \x1b[32mhi\x1b[0m";
    const std::string coloured = "m" + name + "\x1b[0m" + line;
    ASSERT_TRUE(terminal.waitUntil([&](const std::string& text) {
      return text.find(coloured) != std::string::npos ||
             text.find(name + line) != std::string::npos;
    })) << terminal.text();
    EXPECT_EQ(terminal.text().find(coloured) != std::string::npos, command == program);
    child.requestStop();  // script ends the program with it
    EXPECT_TRUE(child.waitForExit(replyLimit));
  }
}
#endif

// With --ansi, a client's colour sequences pass and nothing else that ESC starts, and each line
// that passed one ends uncoloured; with --json, the record's text carries them escaped.
TEST_F(EndToEndTest, WithAnsiOnlyTheClientsColoursPass) {
  const std::string lines[] = {
      "\x1b[31mERROR\x1b[0m plain \x1b[1;32mOK\x1b[m\n",
      "\x1b[2J\x1b[H\x1b]0;title\x07\xC2\x9B"
      "31m\x1b[31;1x no colour\r\n",
      "\x1b[33m\xE2\x80\xA6 no mark\r\n",
  };
  Farspeak farspeak({"--ansi", "-t"});
  ASSERT_TRUE(farspeak.waitUntilListening());
  Client client;
  ASSERT_TRUE(client.connect(farspeak.port));
  const std::string tag = "[127.0.0.1:" + std::to_string(client.port()) + "] ";
  std::string expected;
  for (const std::string& line : lines) {
    ASSERT_TRUE(client.send(line));
    expected += tag;
    test_support::appendEscaped(expected, line, true, true);
  }
  client.close();
  ASSERT_TRUE(farspeak.error.waitFor(" closed\r\n")) << farspeak.error.text();
  EXPECT_EQ(undoTextMode(farspeak.output.text()), expected);

  Farspeak json({"--json", "--ansi"});
  ASSERT_TRUE(json.waitUntilListening());
  Client recorded;
  ASSERT_TRUE(recorded.connect(json.port));
  ASSERT_TRUE(recorded.send(lines[0]));
  ASSERT_TRUE(json.output.waitFor("\"line\"")) << json.output.text();
  EXPECT_NE(
      json.output.text().find(R"("text":"\u001B[31mERROR\u001B[0m plain \u001B[1;32mOK\u001B[m"})"),
      std::string::npos)
      << json.output.text();
}

#ifndef _WIN32
// Started in the background by a shell, which has it ignore interrupts, the program leaves them
// ignored, as it does SIGHUP under nohup; SIGTERM still stops it.
TEST_F(EndToEndTest, AnInterruptIgnoredAtStartStaysIgnored) {
  const std::string script =
      std::string(FARSPEAK_PROGRAM) +
      " -p 0 & pid=$!; sleep 1; kill -INT $pid; sleep 0.5; kill -0 $pid && echo "
      "running; kill -TERM $pid; wait $pid; echo exit=$?";
  test_support::ChildProcess shell("/bin/sh", {"-c", script});
  GrowingFile output(shell.outputPath());
  ASSERT_TRUE(output.waitFor("exit=", 1, startLimit)) << output.text();
  EXPECT_EQ(output.text(), "running\nexit=0\n");
}
#endif

TEST_F(EndToEndTest, SaysItCouldNotStartWhenThePortIsTaken) {
  Socket holder(net.openStreamSocket(plinth::platform::AddressFamily::ipv4));
  ASSERT_NE(holder.get(), invalidSocket);
  std::uint16_t port = 0;
  ASSERT_TRUE(net.bindAddress(holder.get(), plinth::platform::anyAddress(
                                                plinth::platform::AddressFamily::ipv4, 0)) &&
              net.listen(holder.get()) && net.localPort(holder.get(), &port));

  Farspeak farspeak({"-p", std::to_string(port)});
  EXPECT_FALSE(farspeak.waitUntilListening());
  EXPECT_EQ(farspeak.child.waitForExit(startLimit), 1);
  // Then why, in the system's words.
  const std::string& error = farspeak.error.text();
  const std::string said =
      "Couldn't start the server\r\nport " + std::to_string(port) + " is already in use (";
  EXPECT_EQ(error.substr(0, said.size()), said) << error;
  EXPECT_TRUE(error.ends_with(")\r\n")) << error;
  EXPECT_EQ(farspeak.output.text(), "");
}

// A name that stands for no address, or an address this machine does not have: the reason, exit 1.
TEST_F(EndToEndTest, SaysWhyItCouldNotListenOnTheAddressesGiven) {
  const std::pair<std::string, std::string> cases[] = {
      {"no-such-host.invalid", "no-such-host.invalid names no address to listen on ("},
      {"198.51.100.7", "Could not bind to a free port on 198.51.100.7 ("},
      // "héllo" as the system passes it, echoed as typed.
      {windowsConventions ? "h\xE9llo.invalid" : "h\xC3\xA9llo.invalid",
       "h\xC3\xA9llo.invalid names no address to listen on ("},
  };
  for (const auto& [address, reason] : cases) {
    SCOPED_TRACE(address);
    Farspeak farspeak({"-l", address});
    EXPECT_EQ(farspeak.child.waitForExit(startLimit), 1);
    const std::string& error = farspeak.error.text();
    EXPECT_EQ(error.rfind("Couldn't start the server\r\n" + reason, 0), 0u) << error;
  }
}

// How many refusals standard error says one by one, and how many it sums up.
std::pair<std::size_t, std::size_t> refusalsIn(const std::string& error) {
  std::size_t summed = 0;
  for (std::size_t at = error.find("\n...and "); at != std::string::npos;
       at = error.find("\n...and ", at + 1))
    summed += std::strtoul(error.c_str() + at + 8, nullptr, 10);
  return {countOf(error, "\nRefused connection from "), summed};
}

// Clients from addresses not allowed, or denied, are reset before anything is read, and said to
// be: with -t in the tag form, with --json on standard output too, and past ten a second summed up
// once a second.
TEST_F(EndToEndTest, RefusesClientsByTheirAddressAndSaysSoWithoutFlooding) {
  using plinth::platform::AddressFamily;
  const bool ipv6 = hasIpv6Loopback();
  for (const bool json : {false, true}) {
    SCOPED_TRACE(json ? "--json" : "-t");
    std::vector<std::string> arguments = {"--allow",   "127.0.0.1", "--allow",
                                          "127.0.0.2", "--deny",    "127.0.0.2"};
    arguments.push_back(json ? "--json" : "-t");
    if (ipv6)
      arguments.insert(arguments.end(), {"--allow", "::1", "-l", "0.0.0.0", "-l", "::"});
    Farspeak farspeak(arguments);
    ASSERT_TRUE(farspeak.waitUntilListening());
    ASSERT_TRUE(farspeak.error.waitFor(" except 127.0.0.2\r\n"));
    EXPECT_NE(
        farspeak.error.text().find(
            ipv6 ? "\r\nClients allowed from 127.0.0.1, 127.0.0.2 and ::1, except 127.0.0.2\r\n"
                 : "\r\nClients allowed from 127.0.0.1 and 127.0.0.2, except 127.0.0.2\r\n"),
        std::string::npos)
        << farspeak.error.text();

    Client allowed;
    Client denied;
    Client notAllowed;
    ASSERT_TRUE(allowed.connect(farspeak.port, AddressFamily::ipv4, "127.0.0.1"));
    ASSERT_TRUE(denied.connect(farspeak.port, AddressFamily::ipv4, "127.0.0.2"));
    ASSERT_TRUE(notAllowed.connect(farspeak.port, AddressFamily::ipv4, "127.0.0.3"));
    ASSERT_TRUE(allowed.send("let in\n"));
    EXPECT_TRUE(denied.isReset());
    EXPECT_TRUE(notAllowed.isReset());
    Client six;
    if (ipv6) {
      ASSERT_TRUE(six.connect(farspeak.port, AddressFamily::ipv6));
      ASSERT_TRUE(six.send("over six\n"));
      ASSERT_TRUE(farspeak.output.waitFor("over six")) << farspeak.output.text();
    }
    ASSERT_TRUE(farspeak.output.waitFor("let in")) << farspeak.output.text();
    ASSERT_TRUE(farspeak.error.waitFor("(not allowed)\r\n")) << farspeak.error.text();
    const auto name = [json](const std::string& address, std::uint16_t port) {
      return json ? address : "[" + address + ":" + std::to_string(port) + "]";
    };
    const std::string& error = farspeak.error.text();
    for (const std::string& line :
         {"Incoming connection from " + name("127.0.0.1", allowed.port()) + "\r\n",
          "Refused connection from " + name("127.0.0.2", denied.port()) + " (denied)\r\n",
          "Refused connection from " + name("127.0.0.3", notAllowed.port()) +
              " (not allowed)\r\n"}) {
      EXPECT_NE(error.find(line), std::string::npos) << line << " in " << error;
    }
    if (!json)
      continue;
    const std::string& output = farspeak.output.text();
    for (const std::string& record :
         {"\"client\":\"127.0.0.2:" + std::to_string(denied.port()) + "\",\"event\":\"refused\"}",
          "\"client\":\"127.0.0.3:" + std::to_string(notAllowed.port()) +
              "\",\"event\":\"refused\"}"}) {
      EXPECT_NE(output.find(record), std::string::npos) << record << " in " << output;
    }
    EXPECT_EQ(countOf(output, "\"event\":\"refused\""), 2u);

    // The second of those two is over; then a flood from one address.
    std::this_thread::sleep_for(milliseconds(1200));
    constexpr std::size_t flood = 25;
    const auto floodStart = Clock::now();
    for (std::size_t client = 0; client < flood; ++client)
      ASSERT_TRUE(Client().connect(farspeak.port, AddressFamily::ipv4, "127.0.0.3"));
    const bool withinASecond = Clock::now() - floodStart < milliseconds(300);
    ASSERT_TRUE(farspeak.error.waitUntil([&](const std::string& text) {
      const auto [said, summed] = refusalsIn(text);
      return said + summed >= flood + 2;
    })) << farspeak.error.text();
    const auto [said, summed] = refusalsIn(farspeak.error.text());
    EXPECT_EQ(said + summed, flood + 2);
    if (withinASecond) {  // one second holds the flood: ten said, the rest summed
      EXPECT_EQ(said, 12u);
      EXPECT_EQ(
          countOf(farspeak.error.text(), "\n...and 15 more refused connections from 1 address\r\n"),
          1u);
      EXPECT_TRUE(farspeak.output.waitFor("\"event\":\"refused\",\"count\":15,\"addresses\":1}"))
          << farspeak.output.text();
    }
  }
}

// Beyond --max-clients, a client waits in the system's queue, until another leaves or a stop takes
// it.
TEST_F(EndToEndTest, ATwoClientLimitHoldsTheThirdUntilOneLeaves) {
  Farspeak farspeak({"--max-clients", "2"});
  ASSERT_TRUE(farspeak.waitUntilListening());
  ASSERT_TRUE(farspeak.error.waitFor("Clients allowed from anywhere; at most 2 at once\r\n"))
      << farspeak.error.text();
  Client first;
  Client second;
  Client third;
  ASSERT_TRUE(first.connect(farspeak.port) && first.send("one\n"));
  ASSERT_TRUE(farspeak.output.waitFor("one"));
  ASSERT_TRUE(second.connect(farspeak.port) && second.send("two\n"));
  ASSERT_TRUE(farspeak.output.waitFor("two"));
  ASSERT_TRUE(third.connect(farspeak.port) && third.send("three\n"));
  const std::string waiting =
      "Clients are waiting: 2 are connected, the most --max-clients allows; they are accepted as "
      "others leave\r\n";
  ASSERT_TRUE(farspeak.error.waitFor(waiting)) << farspeak.error.text();
  EXPECT_EQ(countOf(farspeak.error.text(), incomingLine), 2u);
  EXPECT_EQ(undoTextMode(farspeak.output.text()), "one\ntwo\n");

  first.close();
  ASSERT_TRUE(farspeak.output.waitFor("three")) << farspeak.output.text();
  ASSERT_TRUE(farspeak.error.waitFor("Accepting clients again\r\n")) << farspeak.error.text();
  const std::string& error = farspeak.error.text();
  EXPECT_EQ(undoTextMode(farspeak.output.text()), "one\ntwo\nthree\n");
  EXPECT_LT(error.find(closedLine), error.rfind(incomingLine)) << error;
  EXPECT_EQ(countOf(error, waiting), 1u);

  // A stop takes a client waiting beyond the limit like any client in the queue.
  Client fourth;
  ASSERT_TRUE(fourth.connect(farspeak.port) && fourth.send("four\n"));
  ASSERT_TRUE(farspeak.error.waitFor(waiting, 2)) << farspeak.error.text();
  if (!farspeak.child.requestStop())
    GTEST_SKIP() << "no way here to ask the program to stop";
  EXPECT_EQ(farspeak.child.waitForExit(replyLimit), 0);
  EXPECT_EQ(undoTextMode(farspeak.output.text()), "one\ntwo\nthree\nfour\n");
}

TEST_F(EndToEndTest, CopiesLinesByteForByteWithControlBytesMadeVisible) {
  Farspeak farspeak;
  ASSERT_TRUE(farspeak.waitUntilListening());
  Client client;
  ASSERT_TRUE(client.connect(farspeak.port));

  // A CR stays as it is; UTF-8, DEL and every byte from 128 up pass unchanged.
  std::string sent = "abc\r\ncaf\xC3\xA9 \xE2\x82\xAC\n";
  std::string expected = sent;
  for (int byte = 0; byte < 256; ++byte) {
    if (byte == '\n')
      continue;
    sent += static_cast<char>(byte);
    if (byte < 32 && byte != '\r') {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\%03d", byte);
      expected += escape;
    } else {
      expected += static_cast<char>(byte);
    }
  }
  sent += '\n';
  expected += '\n';

  ASSERT_TRUE(client.send(sent));  // one send: the receiver never sees half a line
  client.close();
  ASSERT_TRUE(farspeak.error.waitFor(closedLine)) << farspeak.error.text();
  EXPECT_EQ(undoTextMode(farspeak.output.text()), expected);
  EXPECT_NE(expected.find("\\000\\001"), std::string::npos);
  EXPECT_NE(expected.find("\\009\\011\\012\r\\014"), std::string::npos);
  EXPECT_NE(expected.find("\\027\\028\\029\\030\\031 !"), std::string::npos);
}

// A line sent in two writes stays whole, whatever comes between; an unfinished line waits half a
// second from its first byte.
TEST_F(EndToEndTest, ALineInTwoWritesStaysWholeAndAnUnfinishedOneWaitsHalfASecond) {
  Farspeak farspeak;
  ASSERT_TRUE(farspeak.waitUntilListening());
  Client writer;
  Client other;
  ASSERT_TRUE(writer.connect(farspeak.port) && other.connect(farspeak.port));
  ASSERT_TRUE(farspeak.error.waitFor(incomingLine, 2)) << farspeak.error.text();

  ASSERT_TRUE(writer.send("part1 "));
  std::this_thread::sleep_for(milliseconds(200));
  ASSERT_TRUE(other.send("other line\n"));
  ASSERT_TRUE(farspeak.output.waitFor("other line"));
  ASSERT_TRUE(writer.send("part2\n"));
  ASSERT_TRUE(farspeak.output.waitFor("part2"));

  const auto unfinishedSent = Clock::now();
  ASSERT_TRUE(writer.send("unfinished"));
  ASSERT_TRUE(farspeak.output.waitFor("unfinished", 1, milliseconds(3000)))
      << farspeak.output.text();
  // A little under half a second: the program's clock counts in whole ticks.
  EXPECT_GE(Clock::now() - unfinishedSent, milliseconds(450));
  ASSERT_TRUE(writer.send(" line\n"));
  ASSERT_TRUE(farspeak.output.waitFor(" line", 2));
  EXPECT_EQ(undoTextMode(farspeak.output.text()), "other line\npart1 part2\nunfinished line\n");
}

TEST_F(EndToEndTest, WritesWhatAClientLeftUnfinishedBeforeReportingItClosed) {
  // One file for both streams shows the order of the writes.
  Farspeak farspeak({}, ErrorStream::intoOutput);
  ASSERT_TRUE(farspeak.waitUntilListening());
  Client client;
  ASSERT_TRUE(client.connect(farspeak.port));

  ASSERT_TRUE(client.send("line\n"));
  ASSERT_TRUE(farspeak.output.waitFor("line"));
  ASSERT_TRUE(client.send("last words"));
  client.close();
  ASSERT_TRUE(farspeak.output.waitFor(closedLine)) << farspeak.output.text();
  const std::string& text = farspeak.output.text();
  EXPECT_EQ(countOf(text, "last words"), 1u) << text;
  // Its line ended, whatever the line end of the system's standard output.
  EXPECT_TRUE(text.find("last words\n" + closedLine) != std::string::npos ||
              text.find("last words\r\n" + closedLine) != std::string::npos)
      << text;
}

TEST_F(EndToEndTest, ReportsAResetConnectionAsLost) {
  if (runningUnderWine())
    GTEST_SKIP() << "Wine ends a reset connection in order";
  Farspeak farspeak;
  ASSERT_TRUE(farspeak.waitUntilListening());
  Client client;
  ASSERT_TRUE(client.connect(farspeak.port));
  ASSERT_TRUE(farspeak.error.waitFor(incomingLine)) << farspeak.error.text();

  client.reset();
  ASSERT_TRUE(farspeak.error.waitFor(lostLine)) << farspeak.error.text();
  EXPECT_EQ(countOf(farspeak.error.text(), closedLine), 0u);
}

std::string numberedLine(int client, int line) {
  // Lengths differ from line to line, so that a line cut or spliced does not go unnoticed.
  const std::string filler(static_cast<std::size_t>((client + line) % 37),
                           static_cast<char>('a' + line % 26));
  return "client " + std::to_string(client) + " line " + std::to_string(line) + " " + filler + "\n";
}

TEST_F(EndToEndTest, KeepsTheLinesOfManyClientsWholeAndInOrder) {
  // Fewer under Wine, whose socket calls are slow: there the program reads a few KB a second.
  const int clientCount = runningUnderWine() ? 25 : 50;
  const int linesPerClient = runningUnderWine() ? 8 : 200;
  Farspeak farspeak;
  ASSERT_TRUE(farspeak.waitUntilListening());
  std::vector<Client> clients(clientCount);
  for (Client& client : clients)
    ASSERT_TRUE(client.connect(farspeak.port));
  ASSERT_TRUE(farspeak.error.waitFor(incomingLine, clientCount)) << farspeak.error.text();

  for (int line = 0; line < linesPerClient; ++line) {
    for (int client = 0; client < clientCount; ++client)
      ASSERT_TRUE(clients[client].send(numberedLine(client, line)));
  }
  for (Client& client : clients)
    client.close();
  ASSERT_TRUE(farspeak.error.waitFor(closedLine, clientCount, startLimit)) << farspeak.error.text();

  const std::string text = undoTextMode(farspeak.output.text());
  std::vector<int> nextLine(clientCount, 0);
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    ASSERT_NE(end, std::string::npos) << "unfinished last line: " << text.substr(start);
    const std::string line = text.substr(start, end + 1 - start);
    int client = -1;
    int number = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "client %d line %d", &client, &number), 2) << line;
    ASSERT_TRUE(client >= 0 && client < clientCount) << line;
    ASSERT_EQ(line, numberedLine(client, nextLine[client])) << "out of order or damaged";
    ++nextLine[client];
    start = end + 1;
  }
  EXPECT_EQ(nextLine, std::vector<int>(clientCount, linesPerClient));
}

TEST_F(EndToEndTest, WritesHeldBytesAndExitsWithZeroWhenAskedToStop) {
  Farspeak farspeak;
  ASSERT_TRUE(farspeak.waitUntilListening());
  Client client;
  ASSERT_TRUE(client.connect(farspeak.port));
  // The program writes "first" at once and holds "held" for half a second.
  ASSERT_TRUE(client.send("first\nheld"));
  ASSERT_TRUE(farspeak.output.waitFor("first"));
  // Time for the program to read "held", well inside the half second.
  std::this_thread::sleep_for(milliseconds(100));

  if (!farspeak.child.requestStop())
    GTEST_SKIP() << "no way here to ask the program to stop";
  EXPECT_EQ(farspeak.child.waitForExit(replyLimit), 0);
  EXPECT_EQ(undoTextMode(farspeak.output.text()), "first\nheld\n");  // its line ended
  // A client still connected at the end is released without a report.
  EXPECT_EQ(countOf(farspeak.error.text(), "Connection from"), 0u) << farspeak.error.text();
}

constexpr std::size_t numberLength = 10;

// The endless line: numbers of nine digits and a space, so that a piece lost, repeated or out of
// order shows.
std::string numberedStream(std::size_t firstNumber, std::size_t count) {
  std::string text;
  for (std::size_t number = firstNumber; number < firstNumber + count; ++number) {
    const std::string digits = std::to_string(number);
    text += std::string(numberLength - 1 - digits.size(), '0') + digits + " ";
  }
  return text;
}

// Sends an endless line from a thread of its own, as fast as the program takes it, for twenty
// seconds at most. A send that waits for room on the connection gives up when the sending side is
// shut down, except under Wine, where it waits until the program has read enough or has ended:
// a test lets the program end first.
class Streamer {
 public:
  explicit Streamer(Client& client) : client_(client), thread_([this] { run(); }) {}
  ~Streamer() {
    stopping_ = true;
    client_.endSending();
    thread_.join();
  }

  // True once the first bytes are on their way, so that the program always finds more waiting.
  bool waitUntilUnderWay() const {
    const auto deadline = Clock::now() + replyLimit;
    while (sends_ == 0 && Clock::now() < deadline)
      std::this_thread::sleep_for(milliseconds(2));
    return sends_ > 0;
  }

 private:
  void run() {
    constexpr std::size_t numbersPerSend = 1000;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    for (std::size_t first = 0; !stopping_ && Clock::now() < deadline; first += numbersPerSend) {
      if (!client_.send(numberedStream(first, numbersPerSend)))
        return;
      ++sends_;
      // Several megabytes a second: far more than a line a pass, without filling the disk with
      // output the test must read back.
      std::this_thread::sleep_for(milliseconds(1));
    }
  }

  Client& client_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> sends_{0};
  std::thread thread_;
};

std::string talkLine(int number) {
  return std::string(number < 10 ? "talk 0" : "talk ") + std::to_string(number) + "\n";
}

TEST_F(EndToEndTest, AnEndlessLineHoldsUpNoOtherClient) {
  // Under Wine every socket call is a round trip to Wine's server, and the program reads byte by
  // byte: one turn of a streaming client there lasts the better part of a second.
  const milliseconds usualDelay{runningUnderWine() ? 2000 : 100};
  const milliseconds longestDelay{runningUnderWine() ? 5000 : 500};
  Client streamerClient;
  std::optional<Streamer> streamer;  // ends after the program, see Streamer
  Farspeak farspeak;
  ASSERT_TRUE(farspeak.waitUntilListening());
  Client talker;
  ASSERT_TRUE(streamerClient.connect(farspeak.port));
  ASSERT_TRUE(talker.connect(farspeak.port));
  ASSERT_TRUE(farspeak.error.waitFor(incomingLine, 2)) << farspeak.error.text();
  streamer.emplace(streamerClient);
  ASSERT_TRUE(streamer->waitUntilUnderWay());

  // A line every 50 ms, each to come out whole within a fraction of a second.
  constexpr int talkCount = 10;
  std::vector<milliseconds> delays;
  for (int i = 0; i < talkCount; ++i) {
    const auto sentAt = Clock::now();
    const std::size_t writtenBefore = farspeak.output.text().size();
    const std::string line = talkLine(i);
    ASSERT_TRUE(talker.send(line));
    const std::string lineAsWritten = line.substr(0, line.size() - 1);  // whatever its line end
    ASSERT_TRUE(farspeak.output.waitUntil([&](const std::string& text) {
      return text.find(lineAsWritten, writtenBefore) != std::string::npos;
    })) << lineAsWritten;
    delays.push_back(std::chrono::duration_cast<milliseconds>(Clock::now() - sentAt));
    std::this_thread::sleep_until(sentAt + milliseconds(50));
  }

  // One late line may be the shared machine's doing; a late middle one is the program's.
  std::string shown;
  for (const milliseconds delay : delays)
    shown += std::to_string(delay.count()) + " ms ";
  EXPECT_LT(*std::max_element(delays.begin(), delays.end()), longestDelay) << shown;
  std::nth_element(delays.begin(), delays.begin() + talkCount / 2, delays.end());
  EXPECT_LT(delays[talkCount / 2], usualDelay) << shown;
}

TEST_F(EndToEndTest, AnEndlessLineComesOutInPiecesInOrder) {
  if (runningUnderWine())
    GTEST_SKIP() << "too slow under Wine, where one piece takes a quarter of a minute or more";
  constexpr std::size_t longestPiece = 65536;
  Client streamerClient;
  std::optional<Streamer> streamer;  // ends after the program, see Streamer
  Farspeak farspeak;
  ASSERT_TRUE(farspeak.waitUntilListening());
  Client talker;
  ASSERT_TRUE(streamerClient.connect(farspeak.port));
  ASSERT_TRUE(talker.connect(farspeak.port));
  streamer.emplace(streamerClient);

  // The talker's lines fall between the pieces of the stream, which never ends its line.
  constexpr int talkCount = 3;
  for (int i = 0; i < talkCount; ++i) {
    const std::size_t goal = (i + 1) * longestPiece;
    ASSERT_TRUE(farspeak.output.waitUntil(
        [&](const std::string& text) { return text.size() >= goal; }, startLimit));
    ASSERT_TRUE(talker.send(talkLine(i)));
  }
  const std::size_t goal = (talkCount + 1) * longestPiece;
  const std::string lastTalk = talkLine(talkCount - 1);
  ASSERT_TRUE(farspeak.output.waitUntil(
      [&](const std::string& text) {
        return text.size() >= goal &&
               text.find(lastTalk.substr(0, lastTalk.size() - 1)) != std::string::npos;
      },
      startLimit));

  // Each talker's line is a line of its own: the stream's open line was ended before it. Without
  // the talker's lines and those line ends, the pieces join up into the stream as it was sent.
  std::string stream = undoTextMode(farspeak.output.text());
  int talkSeen = 0;
  for (std::size_t at = stream.find("talk "); at != std::string::npos; at = stream.find("talk ")) {
    ASSERT_GT(at, 0u);
    ASSERT_EQ(stream[at - 1], '\n') << "a talker's line joined the stream's";
    const std::string line = talkLine(talkSeen++);
    ASSERT_EQ(stream.compare(at, line.size(), line), 0) << stream.substr(at, 16);
    stream.erase(at - 1, line.size() + 1);
  }
  EXPECT_EQ(talkSeen, talkCount);
  EXPECT_GE(stream.size(), talkCount * longestPiece);
  const std::string sent = numberedStream(0, stream.size() / numberLength + 1);
  EXPECT_TRUE(stream == sent.substr(0, stream.size())) << "the pieces are out of order";
}

#ifndef _WIN32
// Standard output that fails, blocks or is non-blocking: only POSIX hands a program these.
class OutputTroubleTest : public EndToEndTest {
 protected:
  // The program with `descriptor` as its standard output, listening.
  void start(int descriptor) {
    child.emplace(FARSPEAK_PROGRAM, std::vector<std::string>{"-p", "0"}, ErrorStream::ownFile,
                  descriptor);
    error.emplace(child->errorPath());
    ASSERT_TRUE(error->waitFor("host address=", 1, startLimit)) << error->text();
    port = test_support::announcedPort(error->text()).value_or(0);
  }

  std::optional<test_support::ChildProcess> child;
  std::optional<GrowingFile> error;
  std::uint16_t port = 0;
};

TEST_F(OutputTroubleTest, AFullDiskIsReportedAndEndsTheProgramWithCodeOne) {
  const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full, 0);
  start(full);
  ::close(full);
  Client client;
  ASSERT_TRUE(client.connect(port) && client.send("hi\n"));
  EXPECT_EQ(child->waitForExit(replyLimit), 1);
  EXPECT_EQ(countOf(error->text(), "cannot write to standard output (No space left on device)\r\n"),
            1u)
      << error->text();
}

// A file that may grow no further fails the last writes, those of the stop: the exit code says so.
TEST_F(OutputTroubleTest, StandardOutputFailingAtTheStopEndsWithCodeOne) {
  // bash counts the limit in KiB; an ignored SIGXFSZ turns the signal into a failed write.
  test_support::ChildProcess limited(
      "/bin/bash", {"-c", "ulimit -f 1000 && trap '' XFSZ && exec \"$0\" -p 0", FARSPEAK_PROGRAM});
  GrowingFile output(limited.outputPath());
  GrowingFile errors(limited.errorPath());
  ASSERT_TRUE(errors.waitFor("host address=", 1, startLimit)) << errors.text();
  Client client;
  ASSERT_TRUE(client.connect(test_support::announcedPort(errors.text()).value_or(0)));
  const std::string line = std::string(99, 'x') + "\n";
  std::string lines;
  for (int count = 0; count < 10'000; ++count)
    lines += line;
  ASSERT_TRUE(client.send(lines));
  ASSERT_TRUE(
      output.waitUntil([&](const std::string& text) { return text.size() == lines.size(); }));
  ASSERT_TRUE(client.send(std::string(40'000, 'y')));  // held, until the stop writes it
  std::this_thread::sleep_for(milliseconds(50));
  ASSERT_TRUE(limited.requestStop());
  EXPECT_EQ(limited.waitForExit(replyLimit), 1);
  EXPECT_EQ(countOf(errors.text(), "cannot write to standard output (File too large)\r\n"), 1u)
      << errors.text();
}

// A reader that stopped reading (a pager, say): the first request tries to write what is held and
// says so; a second, after half a second, ends the program at once.
TEST_F(OutputTroubleTest, ABlockedOutputYieldsToASecondStopRequest) {
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  start(ends[1]);
  ::close(ends[1]);
  Client client;
  ASSERT_TRUE(client.connect(port));
  std::thread sender([&] { client.send(std::string(4 << 20, 'x') + "\n"); });
  std::this_thread::sleep_for(milliseconds(500));  // the pipe is full long before this

  ASSERT_TRUE(child->requestStop());
  EXPECT_TRUE(error->waitFor("standard output is blocked")) << error->text();
  std::this_thread::sleep_for(milliseconds(600));
  EXPECT_FALSE(child->waitForExit(milliseconds(0)));  // still trying to write
  const auto second = Clock::now();
  ASSERT_TRUE(child->requestStop());
  EXPECT_TRUE(child->waitForExit(milliseconds(1000)));
  EXPECT_LT(Clock::now() - second, milliseconds(1000));
  client.reset();
  sender.join();
  ::close(ends[0]);
}

// Standard error that nobody reads (a pipe, or a terminal paused with Ctrl+S) holds up neither the
// clients' lines nor a stop.
TEST_F(EndToEndTest, ABlockedStandardErrorHoldsUpNeitherLinesNorAStop) {
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  test_support::ChildProcess child(FARSPEAK_PROGRAM, {"-p", "0"}, ErrorStream::ownFile, -1,
                                   ends[1]);
  ::close(ends[1]);
  GrowingFile output(child.outputPath());
  std::string banner;
  for (const auto deadline = Clock::now() + startLimit;
       banner.find("host address=") == std::string::npos && Clock::now() < deadline;) {
    char piece[512];
    pollfd ready{ends[0], POLLIN, 100};
    if (::poll(&ready, 1, 100) == 1) {
      const ssize_t got = ::read(ends[0], piece, sizeof piece);
      if (got <= 0)
        break;
      banner.append(piece, static_cast<std::size_t>(got));
    }
  }
  ASSERT_NE(banner.find("host address="), std::string::npos) << banner;
  const std::uint16_t port = test_support::announcedPort(banner).value_or(0);
  // Read no more: the connect and close lines fill the pipe, and then what queues for it.
  for (int count = 0; count < 2500; ++count) {
    Client passing;
    ASSERT_TRUE(passing.connect(port));
    passing.close();
  }
  Client client;
  ASSERT_TRUE(client.connect(port) && client.send("still here\n"));
  EXPECT_TRUE(output.waitFor("still here\n")) << output.text().size() << " bytes out";
  ASSERT_TRUE(child.requestStop());
  EXPECT_EQ(child.waitForExit(replyLimit), 0);
  ::close(ends[0]);
}

// A parent may hand over a non-blocking pipe; a slow reader must still get every byte.
TEST_F(OutputTroubleTest, ANonBlockingPipeReadSlowlyLosesNothing) {
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  ASSERT_EQ(fcntl(ends[1], F_SETFL, fcntl(ends[1], F_GETFL) | O_NONBLOCK), 0);
  start(ends[1]);
  ::close(ends[1]);
  constexpr std::size_t total = 1'536'000;
  std::string sent;
  for (std::size_t line = 0; sent.size() < total; ++line)
    sent += numberedLine(static_cast<int>(line % 100), static_cast<int>(line));
  Client client;
  ASSERT_TRUE(client.connect(port));
  std::thread sender([&] {
    client.send(sent);
    client.close();
  });
  std::string received;
  char piece[4096];
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while (received.size() < sent.size() && Clock::now() < deadline) {
    const ssize_t got = ::read(ends[0], piece, sizeof piece);
    if (got <= 0)
      break;
    received.append(piece, static_cast<std::size_t>(got));
    std::this_thread::sleep_for(std::chrono::microseconds(200));  // slower than the sender
  }
  sender.join();
  EXPECT_TRUE(received == sent) << received.size() << " of " << sent.size() << " bytes";
  ::close(ends[0]);
}
#endif

}  // namespace
}  // namespace farspeak
