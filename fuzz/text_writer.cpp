// The formatting writer and digit grouping against references written apart from them: integers
// with arbitrary settings against std::to_chars, grouped digit texts against a plain model of the
// group sizes, and text runs against their line-feed translation.
#include "plinth/text/text_writer.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "plinth/platform/locale_items.h"
#include "plinth/platform/platform.h"
#include "plinth/strings/plinth_string.h"
#include "plinth/text/locale_record.h"
#include "plinth/text/text_dest.h"
#include "plinth/text/utf8.h"

namespace {

using plinth::plinth_string;
using plinth::platform::ServiceOverride;
using plinth::platform::Services;

constexpr std::size_t longestRun = 127;

std::u16string_view viewOf(const plinth_string& string) {
  return {string.text, string.length};
}

// ---- Digit grouping, as a list of group sizes

// Groups from the least significant digit take the grouping text's sizes in turn: whole numbers
// between semicolons where the text holds one, otherwise one digit each. A 0, or any other unit
// where a size should start, makes the last size (3 when there was none) repeat; where the text
// ends there, the rest is one group.
std::u16string groupedModel(std::u16string_view digits, std::u16string_view grouping,
                            std::u16string_view separator) {
  grouping = grouping.substr(0, grouping.find(u'\0'));
  const bool semicolons = grouping.find(u';') != std::u16string_view::npos;
  std::vector<std::size_t> sizes;
  bool repeats = false;
  while (!grouping.empty() && !repeats) {
    const std::size_t length = std::min(grouping.find_first_not_of(u"0123456789"),
                                        semicolons ? grouping.size() : std::size_t{1});
    std::size_t size = 0;
    for (const char16_t digit : grouping.substr(0, length))
      size = size * 10 + (digit - u'0');  // at most 8 units: no overflow
    grouping.remove_prefix(length);
    if (semicolons && !grouping.empty() && grouping.front() == u';')
      grouping.remove_prefix(1);
    if (size == 0)
      repeats = true;
    else
      sizes.push_back(size);
  }
  const std::size_t repeatedSize = sizes.empty() ? 3 : sizes.back();

  std::vector<std::u16string_view> groups;  // least significant first
  for (std::size_t end = digits.size(); end > 0;) {
    const std::size_t group = groups.size();
    std::size_t size = group < sizes.size() ? sizes[group] : repeats ? repeatedSize : end;
    size = std::min(size, end);
    groups.push_back(digits.substr(end - size, size));
    end -= size;
  }
  std::u16string grouped;
  for (auto group = groups.rbegin(); group != groups.rend(); ++group) {
    if (group != groups.rbegin())
      grouped += separator;
    grouped += *group;
  }
  return grouped;
}

// A digit text through a number format: an optional minus, the digits up to the first other unit
// (0 when there are none), placed at each % of the pattern the sign chooses.
std::u16string formattedModel(std::u16string_view digitText, const plinth::NumberFormat& format) {
  digitText = digitText.substr(0, digitText.find(u'\0'));
  const bool negative = !digitText.empty() && digitText.front() == u'-';
  if (negative)
    digitText.remove_prefix(1);
  std::size_t count = 0;
  while (count < digitText.size() && digitText[count] >= u'0' && digitText[count] <= u'9')
    ++count;
  const std::u16string_view digits = count == 0 ? u"0" : digitText.substr(0, count);
  const std::u16string grouped =
      groupedModel(digits, viewOf(format.grouping), viewOf(format.groupSeparator));
  std::u16string result;
  for (const char16_t unit : viewOf(negative ? format.negativePattern : format.positivePattern))
    result += unit == u'%' ? std::u16string_view(grouped) : std::u16string_view(&unit, 1);
  return result;
}

// Units drawn mostly from `alphabet`, otherwise any unit but 0 unless `zeroAllowed`.
std::u16string nextText(FuzzedDataProvider& input, std::size_t longest,
                        std::u16string_view alphabet, bool zeroAllowed) {
  std::u16string text(input.ConsumeIntegralInRange<std::size_t>(0, longest), u'\0');
  for (char16_t& unit : text) {
    const auto choice = input.ConsumeIntegral<std::uint8_t>();
    if (choice < 0xE0) {
      unit = alphabet[choice % alphabet.size()];
    } else {
      unit = input.ConsumeIntegral<char16_t>();
      if (unit == 0 && !zeroAllowed)
        unit = u'\x1';
    }
  }
  return text;
}

void fuzzGrouping(FuzzedDataProvider& input) {
  plinth::LocaleRecord record;
  const bool fromRecord = input.ConsumeBool();
  plinth::NumberFormat ownFormat;
  plinth::NumberFormat& format = fromRecord ? record.numberFormat : ownFormat;
  const std::u16string grouping = nextText(input, 8, u"0123456789;", true);
  format.grouping.assign(grouping.data(), grouping.size());
  const std::u16string separator = nextText(input, 3, u",. '", true);
  format.groupSeparator.assign(separator.data(), separator.size());
  const std::u16string positive = nextText(input, 4, u"%%-+$ ()", true);
  format.positivePattern.assign(positive.data(), positive.size());
  const std::u16string negative = nextText(input, 4, u"%%-+$ ()", true);
  format.negativePattern.assign(negative.data(), negative.size());
  const bool nullText = input.ConsumeIntegralInRange(0, 15) == 0;
  const std::u16string digitText = nextText(input, 40, u"0123456789-.;", false);

  plinth_string out;
  plinth::StringTextDest dest(&out);
  plinth::formatGroupedNumber(record, nullText ? nullptr : digitText.c_str(), dest,
                              fromRecord ? nullptr : &ownFormat);
  FUZZ_REQUIRE(viewOf(out) == formattedModel(nullText ? u"" : digitText, format));
}

// ---- Integers

// The magnitude's digits by std::to_chars, capitals for hexadecimal, at least `minDigits` long.
std::u16string digitsModel(std::uint64_t magnitude, int base, std::int32_t minDigits) {
  char buffer[64];
  const char* end = std::to_chars(buffer, buffer + sizeof buffer, magnitude, base).ptr;
  std::u16string digits;
  for (const char* digit = buffer; digit != end; ++digit)
    digits += static_cast<char16_t>(*digit >= 'a' ? *digit - 'a' + 'A' : *digit);
  const std::size_t least = static_cast<std::size_t>(std::max(minDigits, 1));
  if (digits.size() < least)
    digits.insert(0, least - digits.size(), u'0');
  return digits;
}

std::u16string spaces(std::int64_t count) {
  return std::u16string(static_cast<std::size_t>(std::max<std::int64_t>(count, 0)), u' ');
}

std::u16string integerModel(const plinth::TextWriter& writer, bool isSigned, std::uint64_t bits) {
  if (writer.base2) {
    // Sign-extended two's complement, no sign, at most 64 places.
    const std::u16string digits = digitsModel(bits, 2, std::min(writer.minDigits, 64));
    return spaces(std::int64_t{writer.width} - static_cast<std::int64_t>(digits.size())) + digits;
  }
  const auto value = static_cast<std::int64_t>(bits);
  const bool negative = isSigned && value < 0;
  const std::u16string sign = negative ? u"-" : isSigned && writer.showPlus ? u"+" : u"";
  std::u16string digits =
      digitsModel(negative ? 0 - bits : bits, writer.hex ? 16 : 10, writer.minDigits);
  if (writer.groupDigits && !writer.hex)
    digits = formattedModel(digits, plinth::getLocaleRecord().numberFormat);
  std::int64_t width = writer.width;
  if (width > 0 && !sign.empty())
    --width;
  return spaces(width - static_cast<std::int64_t>(digits.size())) + sign + digits;
}

void fuzzIntegers(FuzzedDataProvider& input) {
  plinth_string out;
  plinth::StringTextDest dest(&out);
  plinth::TextWriter writer(&dest);
  std::u16string expected;
  for (int write = input.ConsumeIntegralInRange(1, 4); write > 0; --write) {
    writer.base2 = input.ConsumeIntegralInRange(0, 3) == 0;
    writer.hex = input.ConsumeBool();
    writer.showPlus = input.ConsumeBool();
    writer.groupDigits = input.ConsumeIntegralInRange(0, 3) == 0;
    writer.width = input.ConsumeIntegral<std::int8_t>();
    writer.minDigits = input.ConsumeIntegral<std::int8_t>();
    if (input.ConsumeBool()) {
      const auto value = input.ConsumeIntegral<std::int32_t>();
      expected += integerModel(writer, true, static_cast<std::uint64_t>(std::int64_t{value}));
      writer.writeInt(value);
    } else {
      const auto value = input.ConsumeIntegral<std::uint64_t>();
      expected += integerModel(writer, false, value);
      writer.writeUInt64(value);
    }
    FUZZ_REQUIRE(viewOf(out) == expected);
  }
}

// ---- Text runs

// Collects what a writer sends, checking that each run is short, holds no line feed, and (when
// `pairsChecked`) does not begin with the low half of a pair whose high half ended the run before.
class RunDest : public plinth::TextDest {
 public:
  TextDest& putChar(char16_t unit) override {
    text += unit;
    return *this;
  }
  TextDest& putChars(const char16_t* units, std::size_t count) override {
    const std::u16string_view run(units, count);
    FUZZ_REQUIRE(count > 0 && count <= longestRun);
    FUZZ_REQUIRE(run.find(u'\n') == std::u16string_view::npos);
    FUZZ_REQUIRE(!pairsChecked || text.empty() || !plinth::isHighSurrogate(text.back()) ||
                 !plinth::isLowSurrogate(run.front()));
    text += run;
    return *this;
  }
  TextDest& putString(const char16_t* newline) override {
    text += newline;
    return *this;
  }

  std::u16string text;
  bool pairsChecked = true;
};

std::u16string_view newlineModel(std::int32_t mode) {
  switch (mode) {
    case plinth::newlineCrLf:
      return u"\r\n";
    case plinth::newlineCr:
      return u"\r";
    case plinth::newlineLf:
      return u"\n";
    default:
      return u"";
  }
}

void fuzzRuns(FuzzedDataProvider& input) {
  RunDest dest;
  plinth::TextWriter writer(&dest);
  writer.newlineMode = input.ConsumeIntegralInRange(-1, 4);
  const std::u16string_view newline = newlineModel(writer.newlineMode);
  // A dropped line feed can leave two halves side by side in two runs, which were no pair.
  dest.pairsChecked = !newline.empty();
  // Long lines, so that a line crosses the run length, and surrogates, so that pairs meet its end.
  const std::u16string text = nextText(input, 400, u"ab\n\n\r\xD83D\xDC4D", false);
  std::u16string expected;
  if (input.ConsumeBool()) {
    std::string narrow;
    for (const char16_t unit : text)
      narrow += static_cast<char>(unit);  // the low byte; a 0 ends the text
    narrow = narrow.substr(0, narrow.find('\0'));
    for (const char byte : narrow) {
      if (byte == '\n')
        expected += newline;
      else  // narrow text is code page 1252
        expected += plinth::widenChar(static_cast<unsigned char>(byte), plinth::codePage1252);
    }
    writer.writeText(narrow.c_str());
  } else {
    for (const char16_t unit : text)
      expected += unit == u'\n' ? newline : std::u16string_view(&unit, 1);
    writer.writeWideText(text.c_str());
  }
  FUZZ_REQUIRE(dest.text == expected);
}

// ---- A fixed locale for the writer's grouping, so that runs repeat on every machine

int localeText(std::uint32_t item, char16_t* buffer, int size) {
  std::u16string_view answer;
  if (item == plinth::platform::locale::grouping)
    answer = u"3;2;0";  // 3, then 2 over and over
  else if (item == plinth::platform::locale::groupSeparator)
    answer = u" .";
  if (answer.empty() || static_cast<int>(answer.size()) >= size)
    return 0;
  std::copy(answer.begin(), answer.end(), buffer);
  buffer[answer.size()] = 0;
  return static_cast<int>(answer.size()) + 1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ServiceOverride<int (*)(std::uint32_t, char16_t*, int)> texts(&Services::localeText, localeText);
  ServiceOverride<int (*)(std::uint32_t, char*, int)> numbers(
      &Services::localeNarrowText, +[](std::uint32_t, char*, int) { return 0; });
  ServiceOverride<bool (*)(const char*)> runtime(
      &Services::setRuntimeLocale, +[](const char*) { return false; });
  plinth::getLocaleRecord();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  switch (input.ConsumeIntegralInRange(0, 2)) {
    case 0:
      fuzzIntegers(input);
      break;
    case 1:
      fuzzGrouping(input);
      break;
    default:
      fuzzRuns(input);
      break;
  }
  return 0;
}
