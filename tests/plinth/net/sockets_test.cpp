#include "plinth/net/sockets.h"

#include <gtest/gtest.h>

#include <string>

#include "net_test_support.h"

namespace plinth {
namespace {

using namespace nettest;
using platform::ServiceOverride;
using platform::Services;

int startCalls = 0;
int countedStart() {
  ++startCalls;
  return real.startSockets();
}

int hostNameCalls = 0;
bool countedHostName(char* buffer, int size) {
  ++hostNameCalls;
  return real.hostName(buffer, size);
}
bool failingHostName(char*, int) {
  ++hostNameCalls;
  return false;
}

TEST(SocketStartupTest, AStartThatSucceededIsNeverRepeated) {
  const bool first = startSockets();
  ServiceOverride countStarts(&Services::startSockets, countedStart);
  startCalls = 0;
  EXPECT_TRUE(first);
  EXPECT_TRUE(startSockets());
  EXPECT_TRUE(startSockets());
  EXPECT_EQ(startCalls, 0);
}

// The host name is cached for the whole process, so this is the only test here that asks for it.
TEST(HostNameTest, RetriedWhileItFailsAndKeptOnceKnown) {
  ASSERT_TRUE(startSockets());
  hostNameCalls = 0;
  {
    ServiceOverride failHostNames(&Services::hostName, failingHostName);
    EXPECT_EQ(narrow(getHostName()), "");
    EXPECT_EQ(narrow(getHostName()), "");
    EXPECT_EQ(hostNameCalls, 2);
  }

  char expected[1024] = {};
  ASSERT_TRUE(real.hostName(expected, sizeof expected));
  hostNameCalls = 0;
  {
    ServiceOverride countHostNames(&Services::hostName, countedHostName);
    const char16_t* name = getHostName();
    EXPECT_EQ(narrow(name), expected);
    EXPECT_EQ(getHostName(), name);
    EXPECT_EQ(hostNameCalls, 1);
  }
  {
    ServiceOverride failHostNames(&Services::hostName, failingHostName);
    EXPECT_EQ(narrow(getHostName()), expected);
    EXPECT_EQ(hostNameCalls, 1);
  }
}

}  // namespace
}  // namespace plinth
