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

}  // namespace
}  // namespace plinth
