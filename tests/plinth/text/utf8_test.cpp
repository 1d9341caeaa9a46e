#include "plinth/text/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace plinth {
namespace {

std::string utf8(std::u16string_view units) {
  std::string out;
  appendUtf8(units.data(), out, units.size());
  return out;
}

TEST(Utf8, EncodesEachRangeAtItsBoundaries) {
  EXPECT_EQ(utf8(u"\u0041"), "\x41");
  EXPECT_EQ(utf8(u"\u007F"), "\x7F");
  EXPECT_EQ(utf8(u"\u0080"), "\xC2\x80");
  EXPECT_EQ(utf8(u"\u00E9"), "\xC3\xA9");
  EXPECT_EQ(utf8(u"\u07FF"), "\xDF\xBF");
  EXPECT_EQ(utf8(u"\u0800"), "\xE0\xA0\x80");
  EXPECT_EQ(utf8(u"\u20AC"), "\xE2\x82\xAC");
  EXPECT_EQ(utf8(u"\uFFFF"), "\xEF\xBF\xBF");
}

TEST(Utf8, PairsBecomeOneCodePointAndLoneSurrogatesKeepThreeBytes) {
  EXPECT_EQ(utf8(u"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(utf8(u"\xDBFF\xDFFF"), "\xF4\x8F\xBF\xBF");  // the last code point
  EXPECT_EQ(utf8(u"\xD800\xDC00"), "\xF0\x90\x80\x80");  // the first beyond the 16-bit plane
  EXPECT_EQ(utf8(u"\xD83D"), "\xED\xA0\xBD");
  EXPECT_EQ(utf8(u"\xDE00"), "\xED\xB8\x80");
  EXPECT_EQ(utf8(u"\xDE00\xD83D"), "\xED\xB8\x80\xED\xA0\xBD");  // low then high: no pair
  EXPECT_EQ(utf8(u"\xD83D"
                 u"a"),
            "\xED\xA0\xBD"
            "a");
  // A pair cut by the count is two lone halves, not a read past the end.
  const char16_t pair[] = u"\xD83D\xDE00";
  std::string out;
  appendUtf8(pair, out, 1);
  EXPECT_EQ(out, "\xED\xA0\xBD");
}

TEST(Utf8, StopsAtNulOrCountAndAppends) {
  std::string out = "x";
  const char16_t text[] = {u'a', u'b', 0, u'c'};
  appendUtf8(text, out, 4);
  EXPECT_EQ(out, "xab");
  appendUtf8(text, out, 1);
  EXPECT_EQ(out, "xaba");
  appendUtf8(text, out, 0);
  EXPECT_EQ(out, "xaba");
}

// Every sequence, cut at every place across two writes, comes out whole; invalid bytes each
// become U+FFFD, and an unfinished sequence that is never finished is invalid once more comes.
TEST(Utf8, DecodesSequencesCutAcrossWritesAndReplacesEachInvalidByte) {
  const std::string text = "h\xC3\xA9llo \xE2\x80\xA6 \xF0\x9F\x98\x80";
  const std::u16string expected = u"h\u00E9llo \u2026 \xD83D\xDE00";
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    Utf8Decoder decoder;
    std::u16string out;
    decoder.decode(std::string_view(text).substr(0, cut), out);
    decoder.decode(std::string_view(text).substr(cut), out);
    EXPECT_EQ(out, expected) << "cut at " << cut;
  }

  const auto decoded = [](std::string_view bytes) {
    Utf8Decoder decoder;
    std::u16string out;
    decoder.decode(bytes, out);
    return out;
  };
  EXPECT_EQ(decoded("\xC0\xAF"), u"\uFFFD\uFFFD");                      // overlong
  EXPECT_EQ(decoded("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");            // a surrogate
  EXPECT_EQ(decoded("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // past U+10FFFF
  EXPECT_EQ(decoded("\xFF-\x80"), u"\uFFFD-\uFFFD");

  Utf8Decoder decoder;
  std::u16string out;
  decoder.decode("\xE2\x80", out);
  EXPECT_EQ(out, u"");  // waiting for its third byte...
  decoder.decode("\n", out);
  EXPECT_EQ(out, u"\uFFFD\uFFFD\n");  // ...until a byte that cannot finish it
}

}  // namespace
}  // namespace plinth
