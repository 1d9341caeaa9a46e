#include "plinth/text/locale_record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "plinth/platform/locale_items.h"
#include "plinth/platform/platform.h"
#include "plinth/text/text_writer.h"
#include "recording_dest.h"

namespace plinth {
namespace {

using platform::ServiceOverride;
using platform::Services;

std::u16string grouped(const char16_t* digits, const char16_t* grouping,
                       const char16_t* separator = u",") {
  NumberFormat format;
  format.grouping.assign(grouping);
  format.groupSeparator.assign(separator);
  RecordingDest dest;
  formatGroupedNumber(LocaleRecord{}, digits, dest, &format);
  for (const std::string& call : dest.calls)
    EXPECT_EQ(call.rfind("char:", 0), 0u);
  return dest.written;
}

TEST(FormatGroupedNumber, WalksTheGroupingText) {
  EXPECT_EQ(grouped(u"1234567", u"3;0"), u"1,234,567");
  EXPECT_EQ(grouped(u"1234567", u"3"), u"1234,567");
  EXPECT_EQ(grouped(u"1234567", u"3;2;0"), u"12,34,567");
  EXPECT_EQ(grouped(u"123456789", u"3;2;0"), u"12,34,56,789");
  EXPECT_EQ(grouped(u"123456789", u"3;2"), u"1234,56,789");  // no final 0: no repeat
  EXPECT_EQ(grouped(u"123456789012345678901", u"10;0"), u"1,2345678901,2345678901");
  EXPECT_EQ(grouped(u"123456789012", u"1;10"), u"1,2345678901,2");
  EXPECT_EQ(grouped(u"1234567", u"32"), u"12,34,567");
  EXPECT_EQ(grouped(u"123456789", u"32"), u"1234,56,789");
  EXPECT_EQ(grouped(u"123456", u"10"), u"1,2,3,4,5,6");  // without semicolons, digit by digit
  EXPECT_EQ(grouped(u"12345678", u"320"), u"1,23,45,678");
  EXPECT_EQ(grouped(u"1234567", u""), u"1234567");
  EXPECT_EQ(grouped(u"1234567", u"30"), u"1,234,567");
  EXPECT_EQ(grouped(u"123456", u"3;0"), u"123,456");  // no separator before the first digit

  // The text ends at its first NUL, as the system's does: a semicolon after it changes nothing.
  NumberFormat format;
  format.grouping.assign(
      u"13\0"
      u"8;1",
      6);
  RecordingDest dest;
  formatGroupedNumber(LocaleRecord{}, u"123456789", dest, &format);
  EXPECT_EQ(dest.written, u"12345,678,9");
}

TEST(FormatGroupedNumber, ReadsTheDigitTextLeniently) {
  EXPECT_EQ(grouped(u"0", u"3;0"), u"0");
  EXPECT_EQ(grouped(u"123", u"3;0"), u"123");
  EXPECT_EQ(grouped(u"", u"3;0"), u"0");
  EXPECT_EQ(grouped(nullptr, u"3;0"), u"0");
  EXPECT_EQ(grouped(u"-1234", u"3;0"), u"-1,234");
  EXPECT_EQ(grouped(u"12.5", u"3;0"), u"12");
  EXPECT_EQ(grouped(u"12345.678", u"3;0"), u"12,345");
  EXPECT_EQ(grouped(u"x12", u"3;0"), u"0");
  EXPECT_EQ(grouped(u"1234567", u"3;0", u" ."), u"1 .234 .567");  // two units, in order
  EXPECT_EQ(grouped(u"1234567", u"3;0", u""), u"1234567");
}

TEST(FormatGroupedNumber, PatternsPlaceTheNumber) {
  CurrencyFormat money;
  money.grouping.assign(u"3;0");
  money.positivePattern.assign(u"$ %");
  money.negativePattern.assign(u"(% $)");
  RecordingDest dest;
  formatGroupedNumber(LocaleRecord{}, u"1234", dest, &money);
  formatGroupedNumber(LocaleRecord{}, u"-5", dest, &money);
  EXPECT_EQ(dest.written, u"$ 1,234(5 $)");  // "$" is only a character to the number writer
}

TEST(Pictures, DateAndTimeTranslations) {
  const std::pair<const char16_t*, const char16_t*> dates[] = {
      {u"dddd, MMMM d, yyyy", u"%DD, %MM %d, %yy"},
      {u"'de' d", u"de %d"},
      {u"dd/MM/yy", u"%dd/%mm/%y"},
      {u"ddd MMM yyy y", u"%D %M %yy %y"},
      {u"ddddd", u"%DD%d"},
      {u"d''M", u"%d%m"},
      {u"d 'unclosed", u"%d unclosed"},
      {u"", u""},
  };
  for (const auto& [picture, expected] : dates) {
    plinth_string target(u"old");
    translateDatePicture(plinth_string(picture), target);
    EXPECT_EQ(target.view(), expected) << std::u16string(picture).size();
  }
  const std::pair<const char16_t*, const char16_t*> times[] = {
      {u"h:mm:ss tt", u"%h:%mm:%ss %p"},
      {u"HH:mm", u"%HH:%mm"},
      {u"hhh", u"%hh%h"},
      {u"t 'h'", u"%p h"},
  };
  for (const auto& [picture, expected] : times) {
    plinth_string target;
    translateTimePicture(plinth_string(picture), target);
    EXPECT_EQ(target.view(), expected);
  }
}

// A locale to read the record from, item by item; an item not listed fails.
std::map<std::uint32_t, std::u16string> fakeLocale;
int failuresBeforeSuccess = 0;
std::string runtimeLocaleAsked;

int fakeLocaleText(std::uint32_t item, char16_t* buffer, int size) {
  if (failuresBeforeSuccess > 0) {
    --failuresBeforeSuccess;
    return 0;
  }
  const auto found = fakeLocale.find(item);
  if (found == fakeLocale.end() || static_cast<int>(found->second.size()) >= size)
    return 0;
  std::char_traits<char16_t>::copy(buffer, found->second.c_str(), found->second.size() + 1);
  return static_cast<int>(found->second.size()) + 1;
}

int fakeLocaleNarrowText(std::uint32_t item, char* buffer, int size) {
  char16_t wide[100];
  const int count = fakeLocaleText(item, wide, size < 100 ? size : 100);
  for (int i = 0; i < count; ++i)
    buffer[i] = static_cast<char>(wide[i]);
  return count;
}

bool recordRuntimeLocale(const char* name) {
  runtimeLocaleAsked = name;
  return false;
}

class LocaleRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    releaseLocaleRecord();
    failuresBeforeSuccess = 0;
    fakeLocale = {
        {platform::locale::countryAbbreviation, u"ind"},
        {platform::locale::englishCountryName, u"India"},
        {platform::locale::decimalSeparator, u"."},
        {platform::locale::groupSeparator, u","},
        {platform::locale::grouping, u"3;2;0"},
        {platform::locale::currencyDigits, u"2"},
        {platform::locale::currencySymbol, u"\u20B9"},
        {platform::locale::monetaryGrouping, u"3;2;0"},
        {platform::locale::currencyPosition, u"2"},
        {platform::locale::negativeCurrencyPattern, u"12"},
        {platform::locale::firstDayOfWeek, u"6"},
        {platform::locale::dayName1, u"Monday"},
        {platform::locale::dayName1 + 6, u"Sunday"},
        {platform::locale::monthName1 + 11, u"December"},
        {platform::locale::longDate, u"dddd, d MMMM, yyyy"},
        {platform::locale::timeFormat, u"h:mm:ss tt"},
    };
  }
  void TearDown() override { releaseLocaleRecord(); }

  ServiceOverride<int (*)(std::uint32_t, char16_t*, int)> text{&Services::localeText,
                                                               fakeLocaleText};
  ServiceOverride<int (*)(std::uint32_t, char*, int)> narrow{&Services::localeNarrowText,
                                                             fakeLocaleNarrowText};
  ServiceOverride<bool (*)(const char*)> runtime{&Services::setRuntimeLocale, recordRuntimeLocale};
};

TEST_F(LocaleRecordTest, BuildsOnceFromTheLocaleItems) {
  const LocaleRecord& record = getLocaleRecord();
  EXPECT_EQ(&record, &getLocaleRecord());
  EXPECT_EQ(runtimeLocaleAsked, "in");  // cut to two units before the capitals
  EXPECT_EQ(record.countryCode.view(), u"IN");
  EXPECT_EQ(record.englishCountryName.view(), u"India");
  EXPECT_EQ(record.nativeCountryName.view(), u"");  // a failed item is empty text
  EXPECT_EQ(record.numberFormat.grouping.view(), u"3;2;0");
  EXPECT_EQ(record.numberFormat.positivePattern.view(), u"%");
  EXPECT_EQ(record.numberFormat.negativePattern.view(), u"-%");
  EXPECT_EQ(record.numberFormat.digits, 2);
  EXPECT_EQ(record.currencyFormat.currencySymbol.view(), u"\u20B9");
  EXPECT_EQ(record.currencyFormat.decimalSeparator.view(), u"");  // the default is lost
  EXPECT_EQ(record.currencyFormat.positivePattern.view(), u"$ %");
  EXPECT_EQ(record.currencyFormat.negativePattern.view(), u"$ -%");
  EXPECT_EQ(record.firstDayOfWeek, 7);
  EXPECT_EQ(record.dayNames[0].view(), u"Monday");
  EXPECT_EQ(record.dayNames[6].view(), u"Sunday");
  EXPECT_EQ(record.monthNames[11].view(), u"December");
  EXPECT_EQ(record.monthNames[12].view(), u"");
  EXPECT_EQ(record.longDateFormat.view(), u"%DD, %d %MM, %yy");
  EXPECT_EQ(record.timeFormat.view(), u"%h:%mm:%ss %p");
}

TEST_F(LocaleRecordTest, OutOfRangePatternNumbersFallBack) {
  // Whole strings moved in: assigning the short literals in place draws a false -Wrestrict from
  // GCC 12.
  fakeLocale[platform::locale::currencyPosition] = std::u16string(u"4");
  fakeLocale[platform::locale::negativeCurrencyPattern] = std::u16string(u"16");
  const LocaleRecord& record = getLocaleRecord();
  EXPECT_EQ(record.currencyFormat.positivePattern.view(), u"$%");
  EXPECT_EQ(record.currencyFormat.negativePattern.view(), u"-$%");
}

TEST_F(LocaleRecordTest, AFailedReadIsTriedOnceMore) {
  plinth_string target;
  failuresBeforeSuccess = 1;
  readLocaleText(platform::locale::englishCountryName, target);
  EXPECT_EQ(target.view(), u"India");
  failuresBeforeSuccess = 2;
  readLocaleText(platform::locale::englishCountryName, target);
  EXPECT_EQ(target.view(), u"");
  failuresBeforeSuccess = 1;
  EXPECT_EQ(readLocaleNumber(platform::locale::firstDayOfWeek), 6);
  failuresBeforeSuccess = 2;
  EXPECT_EQ(readLocaleNumber(platform::locale::firstDayOfWeek), 0);
}

TEST_F(LocaleRecordTest, TheWriterGroupsThroughTheRecord) {
  RecordingDest dest;
  TextWriter writer(&dest);
  writer.groupDigits = true;
  writer.width = 12;
  writer.writeInt(-1234567);
  EXPECT_EQ(dest.written, u"  -12,34,567");
  dest.written.clear();
  writer.minDigits = 8;
  writer.width = 0;
  writer.writeUInt64(1234567);  // the zeros are grouped too
  EXPECT_EQ(dest.written, u"0,12,34,567");
  dest.written.clear();
  writer.minDigits = 0;
  writer.hex = true;  // hex digits are never grouped
  writer.writeInt(255).writeText(" ").writeUInt64(0x1F).writeText(" ").writeUInt64(0xABCDEF123);
  EXPECT_EQ(dest.written, u"FF 1F ABCDEF123");
}

}  // namespace
}  // namespace plinth
