// plinth_string under arbitrary sequences of its operations on two strings, each checked after
// every step against a std::u16string: content, terminator, where the text lives, and when the
// buffer may change. Texts are taken from the string's own buffer as often as from outside, and
// allocations can be made to fail, after which the string must be as it was.
#include "plinth/strings/plinth_string.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "fuzz/fuzz_check.h"
#include "plinth/platform/platform.h"

namespace {

using plinth::plinth_string;
using plinth::platform::ServiceOverride;
using plinth::platform::Services;

constexpr std::size_t inlineLimit = plinth_string::inlineUnits - 1;
// Keeps one input fast while crossing the inline limit and several reallocations.
constexpr std::size_t longestText = 2000;
constexpr std::size_t longestArgument = 300;

bool allocationsFail = false;

void* allocate(std::size_t bytes) {
  return allocationsFail ? nullptr : plinth::platform::realServices().allocate(bytes);
}

// Units that are mostly letters, so that toUpperAscii has work, and otherwise any nonzero unit.
char16_t nextUnit(FuzzedDataProvider& input) {
  const auto choice = input.ConsumeIntegral<std::uint8_t>();
  if (choice < 0xC0)
    return static_cast<char16_t>(u'A' + choice % 58);  // A to Z, [ to `, a to z
  const auto unit = input.ConsumeIntegral<char16_t>();
  return unit == 0 ? u'\x1' : unit;
}

std::u16string nextText(FuzzedDataProvider& input) {
  std::u16string text(input.ConsumeIntegralInRange<std::size_t>(0, longestArgument), u'\0');
  for (char16_t& unit : text)
    unit = nextUnit(input);
  return text;
}

void checkString(const plinth_string& string, const std::u16string& model) {
  FUZZ_REQUIRE(string.length == model.size());
  FUZZ_REQUIRE(std::u16string_view(string.text, string.length) == model);
  FUZZ_REQUIRE(string.text[string.length] == 0);
  FUZZ_REQUIRE((string.text == string.inlineBuffer) == (string.heapBlock == nullptr));
  if (string.heapBlock == nullptr) {
    FUZZ_REQUIRE(string.capacity == 0);
    FUZZ_REQUIRE(string.length <= inlineLimit);
  } else {
    FUZZ_REQUIRE(string.length <= string.capacity);
  }
}

// Where a string's text lived before an operation.
struct Buffer {
  explicit Buffer(const plinth_string& string)
      : heapBlock(string.heapBlock), capacity(string.capacity) {}
  const char16_t* heapBlock;
  std::size_t capacity;
};

// A heap block is never given up and never shrinks, and a new one is taken only when `needed`
// units (the new text and its terminator, or a reserve) would not fit the old buffer.
void checkBuffer(const Buffer& before, const plinth_string& after, std::size_t needed) {
  if (before.heapBlock != nullptr) {
    FUZZ_REQUIRE(after.heapBlock != nullptr);
    FUZZ_REQUIRE(after.capacity >= before.capacity);
  }
  const bool reallocated = after.heapBlock != before.heapBlock || after.capacity != before.capacity;
  const std::size_t limit = before.heapBlock != nullptr ? before.capacity : inlineLimit;
  if (reallocated)
    FUZZ_REQUIRE(needed > limit);
}

std::u16string widened(std::string_view bytes, int codePage) {
  std::u16string units;
  for (const char byte : bytes) {
    const auto value = static_cast<unsigned char>(byte);
    // The code page tables have tests of their own; here only the third selector is spelled out.
    units += codePage == 0 || codePage == 1 ? plinth::widenChar(value, codePage) : value;
  }
  return units;
}

class Session {
 public:
  explicit Session(FuzzedDataProvider& input) : input_(input) {}

  void step() {
    const int target = input_.ConsumeIntegralInRange(0, 1);
    const int other = input_.ConsumeIntegralInRange(0, 1);  // may be the target itself
    plinth_string& string = strings_[target];
    const std::u16string before = models_[target];
    const Buffer buffer(string);
    std::u16string expected = before;
    // The units the buffer must hold afterwards, when it is not the new text and its terminator.
    std::optional<std::size_t> needed;
    // A narrow operation: its bytes up to their terminator, and the text they are appended to.
    std::string narrow;
    std::u16string narrowBase;
    int codePage = 0;
    try {
      switch (input_.ConsumeIntegralInRange(0, 16)) {
        case 0: {
          const std::u16string text = nextText(input_);
          const bool null = input_.ConsumeBool();
          expected = null ? u"" : text;
          string.assign(null ? nullptr : text.data(), text.size());
          break;
        }
        case 1: {
          const std::u16string text = nextText(input_);
          const bool null = input_.ConsumeBool();
          expected = null ? u"" : text;
          string.assign(null ? nullptr : text.c_str());
          break;
        }
        case 2:
          expected = models_[other];
          string.assign(strings_[other]);
          break;
        case 3: {  // a part of its own text, which may overlap where it goes
          const auto [start, count] = ownPart(before);
          expected = before.substr(start, count);
          string.assign(string.text + start, count);
          break;
        }
        case 4:
          narrow = nextNarrow(codePage);
          expected = widened(narrow, codePage);
          string.assignNarrow(narrow.c_str(), codePage);
          break;
        case 5: {
          const std::u16string text = nextText(input_);
          const bool null = input_.ConsumeBool();
          if (!null)
            expected += text;
          string.append(null ? nullptr : text.data(), text.size());
          break;
        }
        case 6: {
          const std::u16string text = nextText(input_);
          const bool null = input_.ConsumeBool();
          if (!null)
            expected += text;
          string.append(null ? nullptr : text.c_str());
          break;
        }
        case 7:
          expected += models_[other];
          string.append(strings_[other]);
          break;
        case 8: {  // a part of its own text, from the very buffer that may have to grow
          const auto [start, count] = ownPart(before);
          expected += before.substr(start, count);
          string.append(string.text + start, count);
          break;
        }
        case 9: {
          const char16_t unit = nextUnit(input_);
          expected += unit;
          string.appendChar(unit);
          break;
        }
        case 10: {
          const auto count = input_.ConsumeIntegralInRange<std::size_t>(0, longestArgument);
          const char16_t unit = nextUnit(input_);
          expected.append(count, unit);
          string.appendRepeated(count, unit);
          break;
        }
        case 11:
          narrow = nextNarrow(codePage);
          narrowBase = before;
          expected += widened(narrow, codePage);
          string.appendNarrow(narrow.c_str(), codePage);
          break;
        case 12: {
          const auto index = input_.ConsumeIntegralInRange<std::size_t>(0, before.size() + 2);
          std::size_t count = input_.ConsumeIntegralInRange<std::size_t>(0, longestArgument);
          switch (input_.ConsumeIntegralInRange(0, 3)) {
            case 0:
              count = plinth_string::eraseAll;
              break;
            case 1:
              count = SIZE_MAX;
              break;
            case 2:
              count = before.size() > index ? before.size() - index : 0;
              break;
            default:
              break;
          }
          if (index < before.size())
            expected.erase(index, count);
          needed = 0;
          string.erase(index, count);
          break;
        }
        case 13: {
          const auto units = input_.ConsumeIntegralInRange<std::size_t>(0, longestText);
          needed = units;
          string.reserve(units);
          break;
        }
        case 14:
          for (char16_t& unit : expected) {
            if (unit >= u'a' && unit <= u'z')
              unit = static_cast<char16_t>(unit - 32);
          }
          needed = 0;
          string.toUpperAscii();
          break;
        default: {  // a copy made by construction, then assigned back
          const plinth_string copy(strings_[other]);
          checkString(copy, models_[other]);
          expected = models_[other];
          string = copy;
          break;
        }
      }
    } catch (const std::bad_alloc& failure) {
      FUZZ_REQUIRE(allocationsFail);
      FUZZ_REQUIRE(std::strcmp(failure.what(), "bad allocation") == 0);
      FUZZ_REQUIRE(string.heapBlock == buffer.heapBlock);
      FUZZ_REQUIRE(string.capacity == buffer.capacity);
      // As it was, except that a narrow operation keeps the bytes it widened before the failure.
      std::u16string kept = before;
      if (!narrow.empty()) {
        FUZZ_REQUIRE(string.length >= narrowBase.size());
        const std::size_t widenedCount = string.length - narrowBase.size();
        FUZZ_REQUIRE(widenedCount < narrow.size());
        kept = narrowBase + widened(std::string_view(narrow).substr(0, widenedCount), codePage);
      }
      checkString(string, kept);
      models_[target] = kept;
      return;
    }
    checkString(string, expected);
    checkBuffer(buffer, string, needed.value_or(expected.size() + 1));
    models_[target] = expected;
  }

  bool roomToGrow() const {
    return models_[0].size() <= longestText && models_[1].size() <= longestText;
  }
  void setAllocationsFail() { allocationsFail = input_.ConsumeIntegralInRange(0, 7) == 0; }

 private:
  // A start and count inside the text `model` holds.
  std::pair<std::size_t, std::size_t> ownPart(const std::u16string& model) {
    const auto start = input_.ConsumeIntegralInRange<std::size_t>(0, model.size());
    return {start, input_.ConsumeIntegralInRange<std::size_t>(0, model.size() - start)};
  }

  std::string nextNarrow(int& codePage) {
    codePage = input_.ConsumeIntegralInRange(0, 2);
    std::string bytes =
        input_.ConsumeBytesAsString(input_.ConsumeIntegralInRange<std::size_t>(0, longestArgument));
    return bytes.substr(0, bytes.find('\0'));
  }

  FuzzedDataProvider& input_;
  plinth_string strings_[2];
  std::u16string models_[2];
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ServiceOverride<void* (*)(std::size_t)> allocations(&Services::allocate, allocate);
  FuzzedDataProvider input(data, size);
  Session session(input);
  while (input.remaining_bytes() > 0 && session.roomToGrow()) {
    session.setAllocationsFail();
    session.step();
  }
  allocationsFail = false;
  return 0;
}
