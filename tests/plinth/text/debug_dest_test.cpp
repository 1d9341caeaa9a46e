#include "plinth/text/debug_dest.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "plinth/platform/platform.h"
#include "plinth/text/text_writer.h"

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#endif

namespace plinth {
namespace {

using platform::ServiceOverride;
using platform::Services;

// Every write the destination makes, in order: "err:" or "con:" and the text.
std::vector<std::string> outputs;

bool recordStandardError(const void* bytes, std::size_t count) {
  outputs.push_back("err:" + std::string(static_cast<const char*>(bytes), count));
  return true;
}

bool recordConsole(const char16_t* units, std::uint32_t count) {
  std::string text = "con:";
  for (std::uint32_t i = 0; i < count; ++i)
    text += units[i] < 0x80 ? char(units[i]) : '?';
  outputs.push_back(text);
  return true;
}

class RecordingSink : public MirrorSink {
 public:
  explicit RecordingSink(std::string name) : name_(std::move(name)) {}
  ~RecordingSink() override { ++destroyed; }
  bool isOpen() override {
    if (throwOnIsOpen)
      throw std::runtime_error("isOpen");
    return open;
  }
  void writeBytes(const char* bytes, std::size_t count) override {
    if (throwOnWrite)
      throw std::runtime_error("writeBytes");
    outputs.push_back(name_ + ":" + std::string(bytes, count));
    if (echo != nullptr)
      echo->putString(u"echo");  // a write from inside a mirror
  }
  void flush() override {
    if (throwOnFlush)
      throw 42;
  }

  bool open = true;
  bool throwOnWrite = false;
  bool throwOnFlush = false;
  bool throwOnIsOpen = false;
  TextDest* echo = nullptr;
  static inline int destroyed = 0;

 private:
  std::string name_;
};

class DebugDestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    outputs.clear();
    RecordingSink::destroyed = 0;
    dest.toStandardError = true;
  }

  ServiceOverride<bool (*)(const void*, std::size_t)> standardError{&Services::writeStandardError,
                                                                    recordStandardError};
  ServiceOverride<bool (*)(const char16_t*, std::uint32_t)> consoleOutput{&Services::writeConsole,
                                                                          recordConsole};
  DebugDest dest;
};

TEST_F(DebugDestTest, WritesUtf8ToStandardErrorAndUnitsToTheConsoleInThatOrder) {
  dest.toConsole = true;
  dest.putChars(u"h\u00E9", 2);
  EXPECT_EQ(outputs, (std::vector<std::string>{"con:h?", "err:h\xC3\xA9"}));
  EXPECT_GE(dest.utf8Buffer.capacity(), 1024u);
  EXPECT_FALSE(writeInProgress);
}

TEST_F(DebugDestTest, NulEndsTheUtf8TextButTheConsoleGetsEveryUnit) {
  dest.toConsole = true;
  const char16_t withNul[] = {u'a', u'b', 0, u'c'};
  dest.putChars(withNul, 4);
  ASSERT_EQ(outputs.size(), 2u);
  EXPECT_EQ(outputs[0], std::string("con:ab\0c", 8));
  EXPECT_EQ(outputs[1], "err:ab");

  outputs.clear();
  dest.putChars(withNul + 2, 2);  // the first unit is NUL: nothing at all
  dest.putChars(u"x", 0);         // a count of 0: nothing at all
  EXPECT_TRUE(outputs.empty());
}

#ifndef _WIN32
// The fake console above gets every unit; so does the real one, a terminal on standard output.
TEST(PosixConsole, ATerminalGetsEveryUnitNulIncluded) {
  const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(grantpt(terminal), 0);
  ASSERT_EQ(unlockpt(terminal), 0);
  const int screen = open(ptsname(terminal), O_RDWR | O_NOCTTY);
  ASSERT_GE(screen, 0);
  std::fflush(stdout);
  const int savedOutput = dup(STDOUT_FILENO);
  dup2(screen, STDOUT_FILENO);
  const char16_t units[] = {u'a', 0, u'b', 0xE9, 0xD83D, 0xDE00, 0};
  const bool written = platform::services.writeConsole(units, 7);
  dup2(savedOutput, STDOUT_FILENO);
  close(savedOutput);

  const std::string expected("a\0b\xC3\xA9\xF0\x9F\x98\x80\0", 10);
  std::string received;
  char buffer[64];
  pollfd ready{terminal, POLLIN, 0};
  while (received.size() < expected.size() && poll(&ready, 1, 2000) == 1) {
    const ssize_t count = read(terminal, buffer, sizeof buffer);
    if (count <= 0)
      break;
    received.append(buffer, static_cast<std::size_t>(count));
  }
  close(screen);
  close(terminal);
  EXPECT_TRUE(written);
  EXPECT_EQ(received, expected);
}
#endif

TEST_F(DebugDestTest, PutStringIsOneWrite) {
  dest.putString(nullptr);  // empty text
  dest.putString(u"\r\n");
  EXPECT_EQ(outputs, (std::vector<std::string>{"err:\r\n"}));
}

TEST_F(DebugDestTest, SurrogatePairsWrittenWholeArriveWhole) {
  // 100 pairs make a high surrogate the 127th unit of the writer's first run.
  std::u16string pairs;
  std::string expected;
  for (int i = 0; i < 100; ++i) {
    pairs += u"\xD83D\xDE00";
    expected += "\xF0\x9F\x98\x80";
  }
  TextWriter writer(&dest);
  writer.writeWideText(pairs.c_str());
  dest.putString(u"\xD83D\xDE00");
  std::string written;
  for (const std::string& output : outputs)
    written += output.substr(4);
  EXPECT_EQ(written, expected + "\xF0\x9F\x98\x80");

  outputs.clear();  // halves written apart stay apart
  writer.writeWideChar(0xD83D).writeWideChar(0xDE00);
  EXPECT_EQ(outputs, (std::vector<std::string>{"err:\xED\xA0\xBD", "err:\xED\xB8\x80"}));
}

TEST_F(DebugDestTest, OutputsSwitchedOffReachOnlyTheMirrors) {
  dest.toStandardError = false;
  dest.putChars(u"quiet", 5);
  EXPECT_TRUE(outputs.empty());
  CountedRef<RecordingSink> sink(new RecordingSink("m"));
  dest.attachMirror(CountedRef<MirrorSink>(sink));
  dest.putChars(u"heard", 5);
  EXPECT_EQ(outputs, (std::vector<std::string>{"m:heard"}));
}

TEST_F(DebugDestTest, FailingAndClosedMirrorsAreDroppedWhileTheOthersGetTheText) {
  auto* throwsOnWrite = new RecordingSink("a");
  auto* throwsOnFlush = new RecordingSink("b");
  auto* closed = new RecordingSink("c");
  auto* healthy = new RecordingSink("d");
  throwsOnWrite->throwOnWrite = true;
  throwsOnFlush->throwOnFlush = true;
  closed->open = false;
  for (MirrorSink* sink :
       {static_cast<MirrorSink*>(throwsOnWrite), static_cast<MirrorSink*>(throwsOnFlush),
        static_cast<MirrorSink*>(closed), static_cast<MirrorSink*>(healthy)}) {
    dest.attachMirror(CountedRef<MirrorSink>(sink));
  }
  dest.putChars(u"one", 3);
  EXPECT_EQ(outputs, (std::vector<std::string>{"err:one", "b:one", "d:one"}));
  EXPECT_EQ(RecordingSink::destroyed, 3);  // the destination held their only references
  ASSERT_EQ(dest.mirrors.size(), 1u);

  outputs.clear();
  dest.putChars(u"two", 3);
  EXPECT_EQ(outputs, (std::vector<std::string>{"err:two", "d:two"}));
}

TEST_F(DebugDestTest, WriteFromInsideAMirrorIsDropped) {
  auto* sink = new RecordingSink("m");
  sink->echo = &dest;
  dest.attachMirror(CountedRef<MirrorSink>(sink));
  dest.putChars(u"outer", 5);
  EXPECT_EQ(outputs, (std::vector<std::string>{"err:outer", "m:outer"}));
  EXPECT_FALSE(writeInProgress);
}

TEST_F(DebugDestTest, AnEscapingExceptionEndsTheWrite) {
  auto* sink = new RecordingSink("m");
  sink->throwOnIsOpen = true;
  dest.attachMirror(CountedRef<MirrorSink>(sink));
  EXPECT_THROW(dest.putChars(u"x", 1), std::runtime_error);
  EXPECT_FALSE(writeInProgress);
  sink->throwOnIsOpen = false;
  outputs.clear();
  dest.putChars(u"y", 1);  // the lock was released: no deadlock, and the write happens
  EXPECT_EQ(outputs, (std::vector<std::string>{"err:y", "m:y"}));
}

TEST(StringTextDest, AppendsWhatItIsGiven) {
  plinth_string target;
  StringTextDest dest(&target);
  dest.putChars(u"abc", 3).putChars(u"zzz", 0).putString(nullptr).putString(u"de").putChar(u'f');
  EXPECT_EQ(target.view(), u"abcdef");
}

}  // namespace
}  // namespace plinth
