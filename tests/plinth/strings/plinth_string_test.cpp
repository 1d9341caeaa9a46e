#include "plinth/strings/plinth_string.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <new>
#include <string>

#include "plinth/platform/platform.h"

namespace plinth {
namespace {

using platform::ServiceOverride;
using platform::Services;

int allocations = 0;
int releases = 0;
std::size_t lastBytes = 0;

void* countAllocate(std::size_t bytes) {
  ++allocations;
  lastBytes = bytes;
  return platform::realServices().allocate(bytes);
}
void countRelease(void* block) {
  ++releases;
  platform::realServices().release(block);
}
void* failAllocate(std::size_t) {
  return nullptr;
}

std::u16string letters(std::size_t count) {
  std::u16string units;
  for (std::size_t i = 0; i < count; ++i) {
    units += static_cast<char16_t>(u'a' + i % 26);
  }
  return units;
}

// Capacities are only checked on strings built in place: a returned copy is sized by assign.
plinth_string made(const std::u16string& units) {
  plinth_string string;
  string.append(units.data(), units.size());
  return string;
}

void expectSound(const plinth_string& string) {
  EXPECT_EQ(string.text[string.length], 0);
  EXPECT_EQ(string.text == string.inlineBuffer, string.heapBlock == nullptr);
  EXPECT_LE(string.length, string.heapBlock ? string.capacity : 127u);
  if (!string.heapBlock) {
    EXPECT_EQ(string.capacity, 0u);
  }
}

TEST(PlinthString, NewStringIsInlineAndEachBlockIsReleasedOnce) {
  ServiceOverride allocate(&Services::allocate, countAllocate);
  ServiceOverride release(&Services::release, countRelease);
  allocations = releases = 0;
  {
    plinth_string empty;
    EXPECT_EQ(empty.length, 0u);
    EXPECT_EQ(empty.text, empty.inlineBuffer);
    expectSound(empty);
  }
  EXPECT_EQ(allocations + releases, 0);
  {
    plinth_string string;
    string.appendRepeated(300, u'x');
    EXPECT_EQ(lastBytes, (string.capacity + 1) * sizeof(char16_t));  // room for the terminator
    string.erase(0, plinth_string::eraseAll).assign(u"x");           // shortening keeps the block
    EXPECT_NE(string.heapBlock, nullptr);
    expectSound(string);
  }
  EXPECT_EQ(allocations, 1);
  EXPECT_EQ(releases, 1);
}

TEST(PlinthString, EachOperationGrowsByItsOwnRule) {
  plinth_string single;
  for (std::size_t n = 1; n <= 260; ++n) {
    single.appendChar(static_cast<char16_t>(u'a' + (n - 1) % 26));
    ASSERT_EQ(single.capacity, n <= 126 ? 0u : n <= 253 ? 254u : 508u) << n;
  }
  EXPECT_EQ(single.view(), letters(260));
  for (std::size_t n = 120; n <= 260; ++n) {
    SCOPED_TRACE(n);
    plinth_string narrow;
    narrow.appendNarrow(std::string(n, 'a').c_str(), codePage1252);
    EXPECT_EQ(narrow.capacity, n <= 126 ? 0u : n <= 253 ? 254u : 508u);
    plinth_string counted;
    counted.append(letters(n).c_str());
    EXPECT_EQ(counted.capacity, n <= 127 ? 0u : n);
    counted.append(u"z");
    EXPECT_EQ(counted.capacity, n + 1 <= 127 ? 0u : n + 1);  // exact again, not doubled
    plinth_string assigned;
    assigned.assign(letters(n).c_str());
    EXPECT_EQ(assigned.capacity, n <= 126 ? 0u : n + 1);
    plinth_string repeated;
    repeated.appendRepeated(n, u'r');
    EXPECT_EQ(repeated.capacity, n <= 126 ? 0u : n + 128);
    EXPECT_EQ(repeated.view(), std::u16string(n, u'r'));
    plinth_string reserved(u"abc");
    reserved.reserve(n);
    EXPECT_EQ(reserved.capacity, n <= 127 ? 0u : n);
    EXPECT_EQ(reserved.view(), u"abc");
    for (const plinth_string* string : {&narrow, &counted, &assigned, &repeated, &reserved}) {
      expectSound(*string);
    }
  }
  plinth_string edge;
  edge.assign(letters(127).c_str()).erase(126, plinth_string::eraseAll);
  const char16_t* block = edge.heapBlock;
  edge.appendRepeated(1, u'r');
  EXPECT_EQ(edge.heapBlock, block);
  EXPECT_EQ(edge.capacity, 128u);
  edge.appendRepeated(1, u'r');
  EXPECT_EQ(edge.capacity, 383u);
  EXPECT_EQ(edge.view(), letters(126) + u"rr");
}

TEST(PlinthString, AppendsAndAssignsItsOwnText) {
  for (std::size_t n : {60, 127, 200}) {
    SCOPED_TRACE(n);
    plinth_string string = made(letters(n));
    std::u16string expected = letters(n) + letters(n);
    string.append(string.text, string.length);
    string.append(string);
    expected += expected;
    string.append(string.text + 1, 3);
    expected += expected.substr(1, 3);
    EXPECT_EQ(string.view(), expected);
    string = string;
    string.assign(string);
    string.assign(string.text + 2, n);
    EXPECT_EQ(string.view(), expected.substr(2, n));
    expectSound(string);
  }
}

TEST(PlinthString, CopiesHaveTheirOwnBuffer) {
  plinth_string empty, full = made(letters(126)), heap = made(letters(200)), shortInBlock(u"short");
  shortInBlock.reserve(300);
  for (plinth_string* source : {&empty, &full, &heap, &shortInBlock}) {
    const plinth_string& original = *source;
    plinth_string copy(original);
    plinth_string assigned = made(letters(150));
    assigned = original;
    for (const plinth_string* result : {&copy, &assigned}) {
      EXPECT_EQ(result->view(), original.view());
      EXPECT_NE(result->text, original.text);
      expectSound(*result);
    }
    EXPECT_EQ(copy.heapBlock == nullptr, original.length <= 126);
    EXPECT_NE(assigned.heapBlock, nullptr);  // once in a block, always in a block
  }
}

TEST(PlinthString, EraseCutsOrClosesTheGap) {
  plinth_string string(u"abcdefghij");
  EXPECT_EQ(string.erase(10, 1).erase(4, 0).view(), u"abcdefghij");
  EXPECT_EQ(string.erase(5, 2).view(), u"abcdehij");
  EXPECT_EQ(string.erase(3, plinth_string::eraseAll).view(), u"abc");
  EXPECT_EQ(string.erase(1, SIZE_MAX).view(), u"a");
  plinth_string heapString;
  heapString.append(letters(200).c_str());
  const char16_t* block = heapString.heapBlock;
  EXPECT_EQ(heapString.erase(2, 190).view(), u"ab" + letters(200).substr(192));
  EXPECT_EQ(heapString.erase(2, plinth_string::eraseAll).view(), u"ab");
  EXPECT_EQ(heapString.erase(0, plinth_string::eraseAll).length, 0u);
  EXPECT_EQ(heapString.heapBlock, block);
  EXPECT_EQ(heapString.capacity, 200u);
  expectSound(heapString);
}

TEST(PlinthString, UppercasesOnlyAsciiLetters) {
  EXPECT_EQ(plinth_string(u"Abc-xyz{`@[\u00e9").toUpperAscii().view(), u"ABC-XYZ{`@[\u00e9");
}

TEST(PlinthString, AssignNarrowReplacesTheTextWithWidenedBytes) {
  plinth_string string = made(letters(200));
  EXPECT_EQ(string.assignNarrow("\x80\x81", codePage1252).view(), u"\u20ac\u0081");
  EXPECT_EQ(string.assignNarrow("\x80\xe1", codePage437).view(), u"\u00c7\u03b2");
  std::string bytes;
  std::u16string units;
  for (int byte = 1; byte < 256; ++byte) {
    bytes += static_cast<char>(byte);
    units += static_cast<char16_t>(byte);
  }
  EXPECT_EQ(string.assignNarrow(bytes.c_str(), 2).view(), units);
  EXPECT_EQ(string.assignNarrow(nullptr, codePage1252).length, 0u);
  expectSound(string);
}

TEST(PlinthString, FailedAllocationThrowsAndLeavesTheStringAsItWas) {
  const std::u16string longText = letters(300);
  const std::function<void(plinth_string&)> operations[] = {
      [](plinth_string& s) { s.appendChar(u'x'); },
      [&](plinth_string& s) { s.append(longText.c_str()); },
      [](plinth_string& s) { s.append(s.text, s.length); },
      [](plinth_string& s) { s.appendRepeated(300, u'x'); },
      [](plinth_string& s) { s.reserve(500); },
      [&](plinth_string& s) { s.assign(longText.c_str()); },
  };
  plinth_string strings[] = {made(letters(126)), made(letters(200))};
  ServiceOverride fail(&Services::allocate, failAllocate);
  for (plinth_string& string : strings) {
    for (const auto& operation : operations) {
      const std::u16string units(string.view());
      const char16_t* text = string.text;
      const std::size_t capacity = string.capacity;
      try {
        operation(string);
        ADD_FAILURE() << "no exception at length " << string.length;
      } catch (const std::bad_alloc& failure) {
        EXPECT_STREQ(failure.what(), "bad allocation");
      }
      EXPECT_EQ(string.view(), units);
      EXPECT_EQ(string.text, text);
      EXPECT_EQ(string.capacity, capacity);
    }
  }
  EXPECT_THROW(plinth_string copy(strings[1]), std::bad_alloc);
  plinth_string narrow = made(letters(120));
  EXPECT_THROW(narrow.appendNarrow("0123456789", codePage1252), std::bad_alloc);
  EXPECT_EQ(narrow.view(), letters(120) + u"012345");  // bytes widened before the failure stay
  expectSound(narrow);
}

}  // namespace
}  // namespace plinth
