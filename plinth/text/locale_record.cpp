#include "plinth/text/locale_record.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "plinth/platform/locale_items.h"
#include "plinth/platform/platform.h"

namespace plinth {
namespace {

namespace items = platform::locale;

LocaleRecord* localeRecord = nullptr;  // the holder; released by the library's exit handlers

// One rule of a picture translation: a run of `letter` becomes `codes[run length - 1]`.
struct PictureRule {
  char16_t letter;
  const char16_t* codes[4];
};

constexpr PictureRule dateRules[] = {
    {u'd', {u"%d", u"%dd", u"%D", u"%DD"}},
    {u'M', {u"%m", u"%mm", u"%M", u"%MM"}},
    {u'y', {u"%y", u"%y", u"%yy", u"%yy"}},
};

constexpr PictureRule timeRules[] = {
    {u'h', {u"%h", u"%hh"}}, {u'H', {u"%H", u"%HH"}}, {u'm', {u"%m", u"%mm"}},
    {u's', {u"%s", u"%ss"}}, {u't', {u"%p", u"%p"}},
};

template <std::size_t ruleCount>
void translatePicture(const plinth_string& picture, plinth_string& target,
                      const PictureRule (&rules)[ruleCount], std::size_t longestRun) {
  target.erase(0, plinth_string::eraseAll);
  const char16_t* next = picture.text;
  while (*next != 0) {
    if (*next == u'\'') {  // literal text up to the next quote, or to the end
      for (++next; *next != 0 && *next != u'\''; ++next)
        target.appendChar(*next);
      if (*next != 0)
        ++next;
      continue;
    }
    const PictureRule* rule = nullptr;
    for (const PictureRule& candidate : rules) {
      if (candidate.letter == *next)
        rule = &candidate;
    }
    if (rule == nullptr) {
      target.appendChar(*next++);
      continue;
    }
    std::size_t run = 0;
    while (run < longestRun && next[run] == rule->letter)
      ++run;
    target.append(rule->codes[run - 1]);
    next += run;  // a longer run goes on as a new one
  }
}

const char16_t* currencyPositivePattern(std::int32_t value) {
  constexpr const char16_t* patterns[] = {u"$%", u"%$", u"$ %", u"% $"};
  return value >= 0 && value < 4 ? patterns[value] : u"$%";
}

const char16_t* currencyNegativePattern(std::int32_t value) {
  constexpr const char16_t* patterns[] = {
      u"($%)", u"-$%",  u"$-%",  u"$%-",  u"(%$)", u"-%$",  u"%-$",   u"%$-",
      u"-% $", u"-$ %", u"% $-", u"$ %-", u"$ -%", u"%- $", u"($ %)", u"(% $)",
  };
  return value >= 0 && value < 16 ? patterns[value] : u"-$%";
}

void readNumberFormat(NumberFormat& format, std::uint32_t decimalItem, std::uint32_t groupItem,
                      std::uint32_t groupingItem) {
  readLocaleText(decimalItem, format.decimalSeparator);
  readLocaleText(groupItem, format.groupSeparator);
  format.digits = readLocaleNumber(items::currencyDigits);
  readLocaleText(groupingItem, format.grouping);
}

std::unique_ptr<LocaleRecord> buildLocaleRecord() {
  auto record = std::make_unique<LocaleRecord>();
  readLocaleText(items::countryAbbreviation, record->countryCode);
  record->countryCode.erase(2, plinth_string::eraseAll);
  // The C runtime takes the country code as a locale name where it can; elsewhere that fails,
  // and the record does not depend on it.
  char narrowCode[3] = {};
  for (std::size_t unit = 0; unit < record->countryCode.length; ++unit) {
    narrowCode[unit] = static_cast<char>(record->countryCode.text[unit]);
  }
  platform::services.setRuntimeLocale(narrowCode);
  record->countryCode.toUpperAscii();

  readLocaleText(items::nativeCountryName, record->nativeCountryName);
  readLocaleText(items::englishCountryName, record->englishCountryName);
  readLocaleText(items::nativeLanguageName, record->nativeLanguageName);
  readLocaleText(items::englishLanguageName, record->englishLanguageName);

  readNumberFormat(record->numberFormat, items::decimalSeparator, items::groupSeparator,
                   items::grouping);

  readLocaleText(items::nativeCurrencyName, record->nativeCurrencyName);
  readLocaleText(items::englishCurrencyName, record->englishCurrencyName);

  CurrencyFormat& currency = record->currencyFormat;
  readLocaleText(items::currencySymbol, currency.currencySymbol);
  readLocaleText(items::internationalSymbol, currency.internationalSymbol);
  readNumberFormat(currency, items::monetaryDecimalSeparator, items::monetaryGroupSeparator,
                   items::monetaryGrouping);
  currency.positivePattern.assign(
      currencyPositivePattern(readLocaleNumber(items::currencyPosition)));
  currency.negativePattern.assign(
      currencyNegativePattern(readLocaleNumber(items::negativeCurrencyPattern)));

  record->firstDayOfWeek = readLocaleNumber(items::firstDayOfWeek) + 1;
  for (std::uint32_t day = 0; day < 7; ++day) {
    readLocaleText(items::dayName1 + day, record->dayNames[day]);
  }
  for (std::uint32_t day = 0; day < 7; ++day) {
    readLocaleText(items::abbreviatedDayName1 + day, record->abbreviatedDayNames[day]);
  }
  for (std::uint32_t month = 0; month < 12; ++month) {
    readLocaleText(items::monthName1 + month, record->monthNames[month]);
  }
  readLocaleText(items::monthName13, record->monthNames[12]);
  for (std::uint32_t month = 0; month < 12; ++month) {
    readLocaleText(items::abbreviatedMonthName1 + month, record->abbreviatedMonthNames[month]);
  }
  readLocaleText(items::abbreviatedMonthName13, record->abbreviatedMonthNames[12]);

  convertDateFormat(items::longDate, record->longDateFormat);
  convertDateFormat(items::shortDate, record->shortDateFormat);
  readLocaleText(items::timeSeparator, record->timeSeparator);
  readLocaleText(items::morningDesignator, record->morningDesignator);
  readLocaleText(items::afternoonDesignator, record->afternoonDesignator);
  convertTimeFormat(items::timeFormat, record->timeFormat);
  return record;
}

// The group sizes of a grouping text, least significant group first (see NumberFormat).
class GroupSizes {
 public:
  // A size is held at `largest`, the count of digits, beyond which it means the same; so a long
  // size in the text cannot overflow.
  GroupSizes(const plinth_string& grouping, std::size_t largest)
      : cursor_(grouping.text), wholeNumbers_(hasSemicolon(grouping.text)), largest_(largest) {}

  // The next group's size; 0 once grouping has ended.
  std::size_t next() {
    if (repeating_)
      return size_;
    if (*cursor_ == 0)
      return 0;
    std::size_t read = 0;
    while (*cursor_ >= u'0' && *cursor_ <= u'9') {
      read = std::min<std::size_t>(read * 10 + (*cursor_++ - u'0'), largest_);
      if (!wholeNumbers_)
        break;
    }
    if (*cursor_ == u';')
      ++cursor_;
    if (read == 0) {
      repeating_ = true;
    } else {
      size_ = read;
    }
    return size_;
  }

 private:
  // Like the system's, the text ends at its first NUL, whatever the string holds after it.
  static bool hasSemicolon(const char16_t* text) {
    const std::u16string_view read(text);
    return read.find(u';') != std::u16string_view::npos;
  }

  const char16_t* cursor_;
  bool wholeNumbers_;
  std::size_t largest_;
  std::size_t size_ = 3;
  bool repeating_ = false;
};

// The grouped digits, written through putChar in reading order.
void writeGroupedDigits(const char16_t* digits, std::size_t digitCount, const NumberFormat& format,
                        TextDest& dest) {
  // Built least significant digit first, so that the groups fall from the right.
  plinth_string reversed;
  GroupSizes sizes(format.grouping, digitCount);
  std::size_t left = digitCount;
  for (std::size_t size = sizes.next(); size != 0 && size < left; size = sizes.next()) {
    for (std::size_t placed = 0; placed < size; ++placed)
      reversed.appendChar(digits[--left]);
    const plinth_string& separator = format.groupSeparator;
    for (std::size_t unit = separator.length; unit-- > 0;)
      reversed.appendChar(separator.text[unit]);
  }
  while (left > 0)
    reversed.appendChar(digits[--left]);
  for (std::size_t unit = reversed.length; unit-- > 0;)
    dest.putChar(reversed.text[unit]);
}

}  // namespace

NumberFormat::NumberFormat() {
  decimalSeparator.assign(u".");
  grouping.assign(u"30");
  groupSeparator.assign(u",");
  positivePattern.assign(u"%");
  negativePattern.assign(u"-%");
}

CurrencyFormat::CurrencyFormat() {
  positivePattern.assign(u"$%");
  negativePattern.assign(u"-$%");
  currencySymbol.assign(u"$");
}

const LocaleRecord& getLocaleRecord() {
  // Built completely before it is stored: if memory runs out, the holder stays empty and a later
  // call tries again.
  if (localeRecord == nullptr)
    localeRecord = buildLocaleRecord().release();
  return *localeRecord;
}

void releaseLocaleRecord() {
  delete localeRecord;
  localeRecord = nullptr;
}

void formatGroupedNumber(const LocaleRecord& record, const char16_t* digitText, TextDest& dest,
                         const NumberFormat* format) {
  const NumberFormat& chosen = format != nullptr ? *format : record.numberFormat;
  const char16_t* digits = digitText != nullptr ? digitText : u"";
  const bool negative = *digits == u'-';
  if (negative)
    ++digits;
  std::size_t digitCount = 0;
  while (digits[digitCount] >= u'0' && digits[digitCount] <= u'9')
    ++digitCount;
  if (digitCount == 0) {
    digits = u"0";
    digitCount = 1;
  }
  const plinth_string& pattern = negative ? chosen.negativePattern : chosen.positivePattern;
  for (std::size_t unit = 0; unit < pattern.length; ++unit) {
    if (pattern.text[unit] == u'%') {
      writeGroupedDigits(digits, digitCount, chosen, dest);
    } else {
      dest.putChar(pattern.text[unit]);
    }
  }
}

void readLocaleText(std::uint32_t item, plinth_string& target) {
  target.erase(0, plinth_string::eraseAll);
  char16_t buffer[100];
  if (platform::services.localeText(item, buffer, 100) == 0 &&
      platform::services.localeText(item, buffer, 100) == 0) {
    return;
  }
  target.assign(buffer);
}

std::int32_t readLocaleNumber(std::uint32_t item) {
  char buffer[100];
  if (platform::services.localeNarrowText(item, buffer, 100) == 0 &&
      platform::services.localeNarrowText(item, buffer, 100) == 0) {
    return 0;
  }
  return static_cast<std::int32_t>(std::strtol(buffer, nullptr, 10));
}

void convertDateFormat(std::uint32_t item, plinth_string& target) {
  plinth_string picture;
  readLocaleText(item, picture);
  translateDatePicture(picture, target);
}

void convertTimeFormat(std::uint32_t item, plinth_string& target) {
  plinth_string picture;
  readLocaleText(item, picture);
  translateTimePicture(picture, target);
}

void translateDatePicture(const plinth_string& picture, plinth_string& target) {
  translatePicture(picture, target, dateRules, 4);
}

void translateTimePicture(const plinth_string& picture, plinth_string& target) {
  translatePicture(picture, target, timeRules, 2);
}

}  // namespace plinth
