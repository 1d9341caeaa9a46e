#include <gtest/gtest.h>

#include <set>

#include "plinth/strings/plinth_string.h"

namespace plinth {
namespace {

// A dropped or doubled table entry shows as a repeated unit somewhere in the upper half.
std::set<char16_t> upperHalf(int codePage) {
  std::set<char16_t> units;
  for (int byte = 0x80; byte <= 0xFF; ++byte) {
    units.insert(widenChar(byte, codePage));
  }
  return units;
}

TEST(CodePages, Page437) {
  EXPECT_EQ(widenChar(0x80, codePage437), u'\u00c7');
  EXPECT_EQ(widenChar(0x9E, codePage437), u'\u20a7');
  EXPECT_EQ(widenChar(0xB0, codePage437), u'\u2591');
  EXPECT_EQ(widenChar(0xC5, codePage437), u'\u253c');
  EXPECT_EQ(widenChar(0xE0, codePage437), u'\u03b1');
  EXPECT_EQ(widenChar(0xFF, codePage437), u'\u00a0');
  EXPECT_EQ(widenChar(0xE1, codePage437), u'\u03b2');
  EXPECT_EQ(widenChar(0xE6, codePage437), u'\u03bc');
  EXPECT_EQ(widenChar(0xED, codePage437), u'\u2205');
  EXPECT_EQ(widenChar(0xEE, codePage437), u'\u2208');
  for (int byte = 0; byte < 0x80; ++byte) {
    ASSERT_EQ(widenChar(byte, codePage437), byte);
  }
  EXPECT_EQ(upperHalf(codePage437).size(), 128u);
  for (int byte = 0x80; byte <= 0xFF; ++byte) {
    EXPECT_NE(widenChar(byte, codePage437), byte);
  }
}

TEST(CodePages, Page1252) {
  EXPECT_EQ(widenChar(0x80, codePage1252), u'\u20ac');
  EXPECT_EQ(widenChar(0x8A, codePage1252), u'\u0160');
  EXPECT_EQ(widenChar(0x93, codePage1252), u'\u201c');
  EXPECT_EQ(widenChar(0x99, codePage1252), u'\u2122');
  EXPECT_EQ(widenChar(0x9F, codePage1252), u'\u0178');
  for (int byte : {0x81, 0x8D, 0x8F, 0x90, 0x9D}) {
    EXPECT_EQ(widenChar(byte, codePage1252), byte);
  }
  int changed = 0;
  for (int byte = 0; byte <= 0xFF; ++byte) {
    changed += widenChar(byte, codePage1252) != byte;
  }
  EXPECT_EQ(changed, 27);  // 0x80 to 0x9F less the five gaps; from 0xA0 on it is ISO 8859-1
  EXPECT_EQ(upperHalf(codePage1252).size(), 128u);
}

TEST(CodePages, OtherSelectorsKeepTheByte) {
  // 437 and 1252 are page numbers, not selectors.
  for (int codePage : {2, -1, 437, 1252}) {
    for (int byte = 0; byte <= 0xFF; ++byte) {
      ASSERT_EQ(widenChar(byte, codePage), byte);
    }
  }
}

}  // namespace
}  // namespace plinth
