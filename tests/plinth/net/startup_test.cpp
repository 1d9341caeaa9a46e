// Start-up failures, each in a process where nothing has asked before: what fails here is cached
// for the life of the process.
#include <gtest/gtest.h>

#include <string>

#include "net_test_support.h"
#include "plinth/net/internet_server.h"
#include "plinth/net/sockets.h"

namespace plinth {
namespace {

using namespace nettest;
using platform::ServiceOverride;
using platform::Services;

constexpr int notReady = 10091;  // what Windows answers when its network subsystem is not ready

int startCalls = 0;
int failingStart() {
  ++startCalls;
  return notReady;
}

int hostNameCalls = 0;
bool countedHostName(char* buffer, int size) {
  ++hostNameCalls;
  return real.hostName(buffer, size);
}

int computerNameCalls = 0;
bool failingComputerName(char16_t*, std::uint32_t*) {
  ++computerNameCalls;
  return false;
}

TEST(SocketStartupTest, AFailedStartIsReportedOnceAndNeverRetried) {
  ConsoleCapture console;
  ServiceOverride failStarts(&Services::startSockets, failingStart);
  ServiceOverride countHostNames(&Services::hostName, countedHostName);

  EXPECT_FALSE(startSockets());
  EXPECT_EQ(console.text(), "Sockets didn't start!  (errno = 10091)\r\n");
  EXPECT_FALSE(startSockets());
  EXPECT_EQ(startCalls, 1);

  InternetServer server(0);
  EXPECT_FALSE(server.isRunning());
  EXPECT_FALSE(server.hasPendingConnection());
  EXPECT_FALSE(server.acceptConnection());

  EXPECT_EQ(narrow(getHostName()), "");
  EXPECT_EQ(hostNameCalls, 0);  // never asked without sockets
  EXPECT_EQ(startCalls, 1);
  EXPECT_EQ(console.text(), "Sockets didn't start!  (errno = 10091)\r\n");
}

TEST(ComputerNameTest, AFailedQueryGivesUnknownForGood) {
  {
    ServiceOverride failNames(&Services::computerName, failingComputerName);
    EXPECT_EQ(narrow(getComputerName().text), "unknown");
    EXPECT_EQ(computerNameCalls, 1);
  }
  // The system could answer now, but the first answer stands.
  EXPECT_EQ(narrow(getComputerName().text), "unknown");
}

}  // namespace
}  // namespace plinth
