#include "plinth/text/text_writer.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cstdint>
#include <limits>
#include <string>

#include "plinth/text/debug_dest.h"
#include "recording_dest.h"

namespace plinth {
namespace {

class TextWriterTest : public ::testing::Test {
 protected:
  std::u16string take() {
    std::u16string text = dest.written;
    dest.written.clear();
    dest.calls.clear();
    writer.resetFormat();
    return text;
  }

  RecordingDest dest;
  TextWriter writer{&dest};
};

TEST_F(TextWriterTest, SignedIntegersAtTheLimits) {
  writer.writeInt(0);
  EXPECT_EQ(take(), u"0");
  writer.writeInt(std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(take(), u"-2147483648");
  writer.writeInt(std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(take(), u"2147483647");
  writer.showPlus = true;
  writer.writeInt(42);
  EXPECT_EQ(take(), u"+42");
  writer.showPlus = true;
  writer.writeInt(0);
  EXPECT_EQ(take(), u"+0");
  writer.hex = true;
  writer.writeInt(255);
  EXPECT_EQ(take(), u"FF");
  writer.hex = true;
  writer.writeInt(-255);
  EXPECT_EQ(take(), u"-FF");
}

TEST_F(TextWriterTest, UnsignedIntegersMatchTheStandardConversion) {
  for (std::uint64_t value : {std::uint64_t{0}, std::uint64_t{9}, std::uint64_t{10},
                              std::uint64_t{1} << 32, std::numeric_limits<std::uint64_t>::max()}) {
    for (int base : {10, 16}) {
      char expected[32];
      char* end = std::to_chars(expected, expected + sizeof expected, value, base).ptr;
      std::u16string wide(expected, end);
      for (auto& unit : wide)
        unit = unit >= u'a' ? unit - u'a' + u'A' : unit;
      writer.hex = base == 16;
      writer.showPlus = true;  // never a sign on the unsigned path
      writer.writeUInt64(value);
      EXPECT_EQ(take(), wide) << value << " base " << base;
    }
  }
}

TEST_F(TextWriterTest, WidthPadsBeforeTheSignAndMinDigitsAfterIt) {
  writer.width = 6;
  writer.writeInt(-42);
  EXPECT_EQ(take(), u"   -42");
  writer.minDigits = 4;
  writer.writeInt(-42);
  EXPECT_EQ(take(), u"-0042");
  writer.width = 3;
  writer.writeInt(12345);
  EXPECT_EQ(take(), u"12345");
  writer.width = -5;
  writer.writeInt(7);
  EXPECT_EQ(take(), u"7");
  writer.width = 4;
  writer.writeUInt64(7);
  EXPECT_EQ(take(), u"   7");
}

TEST_F(TextWriterTest, BaseTwo) {
  writer.base2 = true;
  writer.writeInt(5);
  EXPECT_EQ(take(), u"101");
  writer.base2 = true;
  writer.writeInt(0);
  EXPECT_EQ(take(), u"0");
  writer.base2 = true;
  writer.writeInt(-1);
  EXPECT_EQ(take(), std::u16string(64, u'1'));
  writer.base2 = true;
  writer.minDigits = 8;
  writer.writeUInt64(5);
  EXPECT_EQ(take(), u"00000101");
  writer.base2 = true;
  writer.minDigits = 100;
  writer.writeUInt64(5);
  EXPECT_EQ(take(), std::u16string(61, u'0') + u"101");
  writer.base2 = true;
  writer.width = 5;
  writer.showPlus = true;
  writer.writeInt(5);
  EXPECT_EQ(take(), u"  101");
}

TEST_F(TextWriterTest, NewlineModes) {
  const std::pair<std::int32_t, std::u16string> modes[] = {
      {newlineCrLf, u"a\r\nb"}, {newlineCr, u"a\rb"}, {newlineLf, u"a\nb"}, {0, u"ab"}, {9, u"ab"}};
  for (const auto& [mode, expected] : modes) {
    writer.newlineMode = mode;
    writer.writeText("a\nb");
    EXPECT_EQ(take(), expected) << mode;
  }
  writer.newlineMode = newlineCrLf;
  writer.writeText("\n");
  EXPECT_EQ(dest.calls, (std::vector<std::string>{"string:\r\n"}));  // no empty run before it
  take();
  writer.writeWideChar(u'\n').writeWideChar(u'\r').writeChar('x');
  EXPECT_EQ(take(), u"\r\n\rx");
}

TEST_F(TextWriterTest, RunsHoldAtMost127UnitsAndNeverSpanALineFeed) {
  const std::string text(300, 'x');
  writer.writeText(text.c_str());
  ASSERT_EQ(dest.calls.size(), 3u);
  EXPECT_EQ(dest.calls[0].size(), 6 + 127u);
  EXPECT_EQ(dest.calls[1].size(), 6 + 127u);
  EXPECT_EQ(dest.calls[2].size(), 6 + 46u);
  take();

  const std::u16string wide = std::u16string(130, u'y') + u"\nz";
  writer.writeWideText(wide.c_str());
  EXPECT_EQ(dest.calls, (std::vector<std::string>{"chars:" + std::string(127, 'y'), "chars:yyy",
                                                  "string:\r\n", "chars:z"}));
  take();

  // A run does not end between the halves of a pair.
  const std::u16string pair = std::u16string(126, u'y') + u"\xD83D\xDE00z";
  writer.writeWideText(pair.c_str());
  EXPECT_EQ(dest.calls, (std::vector<std::string>{"chars:" + std::string(126, 'y'), "chars:??z"}));
  EXPECT_EQ(take(), pair);

  writer.writeText(nullptr).writeWideText(nullptr).writeText("");
  EXPECT_TRUE(dest.calls.empty());
}

TEST_F(TextWriterTest, NarrowTextIsCodePage1252) {
  writer.writeText("\x80\xE9\x81").writeChar('\x9C');
  EXPECT_EQ(take(), u"\u20AC\u00E9\u0081\u0153");
}

TEST_F(TextWriterTest, WideStringsAndChaining) {
  plinth_string name(u"host");
  writer.writeText("[").writeWideString(name).writeChar(']').writeInt(1);
  EXPECT_EQ(take(), u"[host]1");
}

TEST(Console, EveryCallStartsFromDefaultFormatting) {
  TextWriter& first = console();
  first.hex = first.base2 = first.showPlus = first.groupDigits = true;
  first.width = 9;
  first.minDigits = 3;
  first.newlineMode = newlineLf;
  TextWriter& second = console();
  EXPECT_EQ(&first, &second);
  EXPECT_FALSE(second.hex || second.base2 || second.showPlus || second.groupDigits);
  EXPECT_EQ(second.width, 0);
  EXPECT_EQ(second.minDigits, 0);
  EXPECT_EQ(second.newlineMode, newlineLf);  // the newline mode is kept
  second.newlineMode = newlineCrLf;
  EXPECT_EQ(second.dest, &consoleDestination());
}

}  // namespace
}  // namespace plinth
