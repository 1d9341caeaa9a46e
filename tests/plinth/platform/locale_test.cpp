#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "plinth/platform/locale_items.h"
#include "plinth/platform/platform.h"

#ifndef _WIN32
#include <locale.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <utility>
#endif

#ifdef __SANITIZE_ADDRESS__
// glibc's newlocale (2.36) never frees the copy of LOCPATH it builds: a leak of the C library's,
// which these tests provoke by setting LOCPATH, not one of the code under test.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:__argz_add_sep\n";
}
#endif

namespace plinth::platform {
namespace {

namespace items = platform::locale;

// The item's text, or nothing when the service fails; the count must be the text's length with
// its terminator.
std::optional<std::u16string> text(std::uint32_t item) {
  char16_t buffer[100];
  const int stored = services.localeText(item, buffer, 100);
  if (stored == 0)
    return std::nullopt;
  std::u16string answer(buffer);
  EXPECT_EQ(stored, static_cast<int>(answer.size()) + 1) << "item " << item;
  return answer;
}

std::optional<std::string> narrowText(std::uint32_t item) {
  char buffer[100];
  const int stored = services.localeNarrowText(item, buffer, 100);
  if (stored == 0)
    return std::nullopt;
  std::string answer(buffer);
  EXPECT_EQ(stored, static_cast<int>(answer.size()) + 1) << "item " << item;
  return answer;
}

// A numeric item as the library reads it: decimal text, all of it digits.
std::optional<long> number(std::uint32_t item) {
  const std::optional<std::string> answer = narrowText(item);
  if (!answer || answer->empty())
    return std::nullopt;
  char* end = nullptr;
  const long value = std::strtol(answer->c_str(), &end, 10);
  if (*end != '\0')
    return std::nullopt;
  return value;
}

std::vector<std::uint32_t> libraryItems() {
  std::vector<std::uint32_t> all = {
      items::countryAbbreviation,
      items::nativeCountryName,
      items::englishCountryName,
      items::nativeLanguageName,
      items::englishLanguageName,
      items::decimalSeparator,
      items::groupSeparator,
      items::grouping,
      items::nativeCurrencyName,
      items::englishCurrencyName,
      items::currencySymbol,
      items::internationalSymbol,
      items::monetaryDecimalSeparator,
      items::monetaryGroupSeparator,
      items::monetaryGrouping,
      items::currencyDigits,
      items::currencyPosition,
      items::negativeCurrencyPattern,
      items::firstDayOfWeek,
      items::monthName13,
      items::abbreviatedMonthName13,
      items::longDate,
      items::shortDate,
      items::timeFormat,
      items::timeSeparator,
      items::morningDesignator,
      items::afternoonDesignator,
  };
  for (std::uint32_t day = 0; day < 7; ++day) {
    all.push_back(items::dayName1 + day);
    all.push_back(items::abbreviatedDayName1 + day);
  }
  for (std::uint32_t month = 0; month < 12; ++month) {
    all.push_back(items::monthName1 + month);
    all.push_back(items::abbreviatedMonthName1 + month);
  }
  return all;
}

// Both services, for every item the library reads: the count includes the terminator, size 0
// asks for that count, a buffer of exactly that size is enough and one unit less fails, and a
// failure leaves empty text.
template <typename Unit>
void expectWindowsShape(int (*service)(std::uint32_t, Unit*, int), std::uint32_t item) {
  SCOPED_TRACE(testing::Message() << "item 0x" << std::hex << item);
  Unit buffer[100];
  std::fill(std::begin(buffer), std::end(buffer), Unit{'x'});
  const int stored = service(item, buffer, 100);
  if (stored == 0) {
    EXPECT_EQ(buffer[0], Unit{0});
    return;
  }
  ASSERT_GT(stored, 0);
  ASSERT_LE(stored, 100);
  EXPECT_EQ(std::basic_string<Unit>(buffer).size() + 1, static_cast<std::size_t>(stored));
  EXPECT_EQ(service(item, nullptr, 0), stored);

  Unit exact[100];
  EXPECT_EQ(service(item, exact, stored), stored);
  EXPECT_EQ(std::basic_string<Unit>(exact), std::basic_string<Unit>(buffer));

  if (stored > 1) {
    Unit small[100];
    std::fill(std::begin(small), std::end(small), Unit{'x'});
    EXPECT_EQ(service(item, small, stored - 1), 0);
    EXPECT_EQ(small[0], Unit{0});
  }
}

TEST(LocaleText, EveryItemAnswersTheWindowsWay) {
  for (std::uint32_t item : libraryItems()) {
    expectWindowsShape(services.localeText, item);
    expectWindowsShape(services.localeNarrowText, item);
  }
  // An item no system knows fails, and leaves empty text.
  char16_t buffer[8] = {u'x'};
  EXPECT_EQ(services.localeText(0x7ff0, buffer, 8), 0);
  EXPECT_EQ(buffer[0], u'\0');
}

TEST(LocaleText, TheUserLocaleGivesWhatTheLibraryNeeds) {
  const std::optional<std::u16string> decimal = text(items::decimalSeparator);
  ASSERT_TRUE(decimal.has_value());
  EXPECT_FALSE(decimal->empty());

  if (const std::optional<long> firstDay = number(items::firstDayOfWeek)) {
    EXPECT_GE(*firstDay, 0);
    EXPECT_LE(*firstDay, 6);
  }
  if (const std::optional<long> digits = number(items::currencyDigits)) {
    EXPECT_GE(*digits, 0);
    EXPECT_LE(*digits, 9);
  }
  // The Gregorian calendar has no thirteenth month: its name is empty, and that is an answer.
  EXPECT_EQ(text(items::monthName13), u"");
  EXPECT_EQ(narrowText(items::abbreviatedMonthName13), "");
}

#ifndef _WIN32

// Sets the variables the user's locale is chosen by for one test, clearing the others, and puts
// them all back afterwards.
class LocaleEnvironment {
 public:
  LocaleEnvironment(std::initializer_list<std::pair<const char*, std::string>> settings) {
    for (const char* variable : variables) {
      const char* value = std::getenv(variable);
      saved_.push_back(value != nullptr ? std::optional<std::string>(value) : std::nullopt);
      unsetenv(variable);
    }
    for (const auto& [variable, value] : settings)
      setenv(variable, value.c_str(), 1);
  }
  ~LocaleEnvironment() {
    for (std::size_t index = 0; index < std::size(variables); ++index) {
      if (saved_[index]) {
        setenv(variables[index], saved_[index]->c_str(), 1);
      } else {
        unsetenv(variables[index]);
      }
    }
  }
  LocaleEnvironment(const LocaleEnvironment&) = delete;
  LocaleEnvironment& operator=(const LocaleEnvironment&) = delete;

 private:
  static constexpr const char* variables[] = {
      "LC_ALL",     "LC_CTYPE",          "LC_NUMERIC", "LC_MONETARY", "LC_TIME",
      "LC_ADDRESS", "LC_IDENTIFICATION", "LANG",       "LOCPATH",
  };
  std::vector<std::optional<std::string>> saved_;
};

TEST(PosixLocale, TheCLocale) {
  LocaleEnvironment environment({{"LC_ALL", "C"}});

  EXPECT_EQ(text(items::decimalSeparator), u".");
  EXPECT_EQ(text(items::groupSeparator), u"");  // C groups nothing
  EXPECT_EQ(text(items::grouping), u"");
  EXPECT_EQ(text(items::monetaryGrouping), u"");
  EXPECT_EQ(text(items::currencySymbol), u"");
  // C leaves the currency's digits and layout open (CHAR_MAX): no answer.
  EXPECT_EQ(number(items::currencyDigits), std::nullopt);
  EXPECT_EQ(text(items::currencyPosition), std::nullopt);
  EXPECT_EQ(text(items::negativeCurrencyPattern), std::nullopt);

  EXPECT_EQ(text(items::dayName1), u"Monday");
  EXPECT_EQ(text(items::dayName1 + 6), u"Sunday");
  EXPECT_EQ(text(items::abbreviatedDayName1 + 6), u"Sun");
  EXPECT_EQ(text(items::monthName1), u"January");
  EXPECT_EQ(text(items::monthName1 + 11), u"December");
  EXPECT_EQ(text(items::abbreviatedMonthName1 + 2), u"Mar");
  EXPECT_EQ(number(items::firstDayOfWeek), 6);  // Sunday

  EXPECT_EQ(text(items::shortDate), u"MM/dd/yy");         // %m/%d/%y
  EXPECT_EQ(text(items::longDate), u"dddd MMMM d yyyy");  // from %a %b %e %H:%M:%S %Y
  EXPECT_EQ(text(items::timeFormat), u"HH:mm:ss");        // %H:%M:%S
  EXPECT_EQ(text(items::timeSeparator), u":");
  EXPECT_EQ(text(items::morningDesignator), u"AM");
  EXPECT_EQ(text(items::afternoonDesignator), u"PM");

  // C names no country or language, and POSIX has no currency names.
  EXPECT_EQ(text(items::countryAbbreviation), std::nullopt);
  EXPECT_EQ(text(items::nativeCountryName), std::nullopt);
  EXPECT_EQ(text(items::nativeLanguageName), std::nullopt);
  EXPECT_EQ(text(items::englishLanguageName), std::nullopt);
  EXPECT_EQ(text(items::nativeCurrencyName), std::nullopt);
  EXPECT_EQ(text(items::englishCurrencyName), std::nullopt);
}

TEST(PosixLocale, TheRuntimeLocaleIsNeverSwitchedToACountryCode) {
  const std::string before = setlocale(LC_ALL, nullptr);
  EXPECT_FALSE(services.setRuntimeLocale("US"));
  EXPECT_FALSE(services.setRuntimeLocale("C"));
  EXPECT_EQ(setlocale(LC_ALL, nullptr), before);
}

// Locales compiled for these tests from the system's locale sources into a directory beside
// the test program, which LOCPATH then points at.
class GeneratedLocales : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (std::system("command -v localedef >/dev/null 2>&1") != 0)
      return;
    const std::filesystem::path home =
        std::filesystem::canonical("/proc/self/exe").parent_path() / "locales.XXXXXX";
    std::string name = home.string();
    if (mkdtemp(name.data()) == nullptr)
      return;
    directory_ = name;
    std::ofstream(directory_ + "/test_source") << testSource;
    generate("en_IN", "UTF-8", "en_IN.UTF-8");
    generate("de_DE", "ISO-8859-1", "de_DE.ISO-8859-1");
    generate(directory_ + "/test_source", "UTF-8", "xx_TEST.UTF-8");
  }

  static void TearDownTestSuite() {
    if (!directory_.empty())
      std::filesystem::remove_all(directory_);
    directory_.clear();
  }

  // The locale's name where it was generated, or nothing (and the test should skip).
  static std::optional<std::string> available(const std::string& name) {
    if (directory_.empty() || !std::filesystem::exists(directory_ + "/" + name + "/LC_TIME")) {
      return std::nullopt;
    }
    return name;
  }

  static std::string directory_;

 private:
  static void generate(const std::string& source, const std::string& charmap,
                       const std::string& name) {
    // localedef reports warnings through its exit status too; the written files tell.
    const std::string command = "localedef -i '" + source + "' -f " + charmap + " '" + directory_ +
                                "/" + name + "' >/dev/null 2>&1";
    [[maybe_unused]] const int status = std::system(command.c_str());
  }

  // A locale whose numbers and dates take the less common forms.
  static constexpr const char* testSource = R"(comment_char %
escape_char /
LC_NUMERIC
decimal_point "<U002C>"
thousands_sep "<U202F>"
grouping 3;-1
END LC_NUMERIC
LC_MONETARY
int_curr_symbol "XYZ "
currency_symbol "<U00A4>"
mon_decimal_point "<U002C>"
mon_thousands_sep "<U002E>"
mon_grouping 4
positive_sign ""
negative_sign "-"
int_frac_digits 3
frac_digits 3
p_cs_precedes 0
p_sep_by_space 2
n_cs_precedes 1
n_sep_by_space 1
p_sign_posn 1
n_sign_posn 4
END LC_MONETARY
LC_TIME
abday "Sn";"Mn";"Tu";"Wd";"Th";"Fr";"St"
day "Sunday";"Monday";"Tuesday";"Wednesday";"Thursday";"Friday";"Saturday"
abmon "of Jan";"of Feb";"of Mar";"of Apr";"of May";"of Jun";/
      "of Jul";"of Aug";"of Sep";"of Oct";"of Nov";"of Dec"
ab_alt_mon "Jan";"Feb";"Mar";"Apr";"May";"Jun";"Jul";"Aug";"Sep";"Oct";"Nov";"Dec"
mon "of January";"of February";"of March";"of April";"of May";"of June";/
    "of July";"of August";"of September";"of October";"of November";"of December"
alt_mon "January";"February";"March";"April";"May";"June";/
        "July";"August";"September";"October";"November";"December"
d_t_fmt "%Y<U5E74>%-m<U6708>%-d<U65E5> (%a), %T"
d_fmt "%-d de %B de %Y"
t_fmt "%H h %M o'clock"
t_fmt_ampm "%I:%M:%S %p"
am_pm "<U00E0>m";"pm"
week 7;19971201;4
first_weekday 3
END LC_TIME
LC_CTYPE
copy "en_US"
END LC_CTYPE
LC_COLLATE
copy "en_US"
END LC_COLLATE
LC_MESSAGES
copy "en_US"
END LC_MESSAGES
LC_PAPER
copy "en_US"
END LC_PAPER
LC_NAME
copy "en_US"
END LC_NAME
LC_ADDRESS
copy "en_US"
END LC_ADDRESS
LC_TELEPHONE
copy "en_US"
END LC_TELEPHONE
LC_MEASUREMENT
copy "en_US"
END LC_MEASUREMENT
LC_IDENTIFICATION
copy "en_US"
END LC_IDENTIFICATION
)";
};

std::string GeneratedLocales::directory_;

#define REQUIRE_LOCALE(variable, name)                         \
  const std::optional<std::string> variable = available(name); \
  if (!variable)                                               \
  GTEST_SKIP() << name << " could not be generated (localedef missing?)"

TEST_F(GeneratedLocales, IndianGroupingAndUtf8Texts) {
  REQUIRE_LOCALE(indian, "en_IN.UTF-8");
  LocaleEnvironment environment({{"LOCPATH", directory_}, {"LANG", *indian}});

  EXPECT_EQ(text(items::grouping), u"3;2;0");  // the C library's {3,2}
  EXPECT_EQ(text(items::monetaryGrouping), u"3;2;0");
  EXPECT_EQ(text(items::groupSeparator), u",");
  EXPECT_EQ(text(items::decimalSeparator), u".");
  EXPECT_EQ(text(items::currencySymbol), u"\u20B9");  // three bytes in UTF-8, one unit here
  EXPECT_EQ(narrowText(items::currencySymbol), "\xE2\x82\xB9");
  EXPECT_EQ(text(items::internationalSymbol), u"INR");
  EXPECT_EQ(number(items::currencyDigits), 2);
  EXPECT_EQ(number(items::currencyPosition), 0);         // $1
  EXPECT_EQ(number(items::negativeCurrencyPattern), 1);  // -$1

  EXPECT_EQ(text(items::countryAbbreviation), u"IN");
  EXPECT_EQ(text(items::nativeCountryName), u"India");
  EXPECT_EQ(text(items::englishCountryName), u"India");
  EXPECT_EQ(text(items::nativeLanguageName), u"English");
  EXPECT_EQ(text(items::englishLanguageName), u"English");

  EXPECT_EQ(number(items::firstDayOfWeek), 6);
  EXPECT_EQ(text(items::shortDate), u"dd/MM/yy");
  EXPECT_EQ(text(items::longDate), u"dddd dd MMMM yyyy");  // %A %d %B %Y %I:%M:%S %p
  EXPECT_EQ(text(items::timeFormat), u"hh:mm:ss tt");      // %I:%M:%S %p %Z
}

TEST_F(GeneratedLocales, GermanLatin1TextsAndTheProcessLocaleUntouched) {
  REQUIRE_LOCALE(german, "de_DE.ISO-8859-1");
  LocaleEnvironment environment({{"LOCPATH", directory_}, {"LC_ALL", *german}});
  const std::string processLocale = setlocale(LC_ALL, nullptr);

  EXPECT_EQ(text(items::monthName1 + 2), u"M\u00E4rz");
  EXPECT_EQ(narrowText(items::monthName1 + 2), "M\xE4rz");  // the locale's own codeset
  EXPECT_EQ(text(items::dayName1), u"Montag");
  EXPECT_EQ(text(items::dayName1 + 6), u"Sonntag");
  EXPECT_EQ(number(items::firstDayOfWeek), 0);  // Monday

  EXPECT_EQ(text(items::decimalSeparator), u",");
  EXPECT_EQ(text(items::groupSeparator), u".");
  EXPECT_EQ(text(items::grouping), u"3;0");  // the C library says {3,3}
  EXPECT_EQ(text(items::currencySymbol), u"EUR");
  EXPECT_EQ(number(items::currencyPosition), 3);         // 1 $
  EXPECT_EQ(number(items::negativeCurrencyPattern), 8);  // -1 $

  EXPECT_EQ(text(items::shortDate), u"dd.MM.yyyy");
  EXPECT_EQ(text(items::longDate), u"dddd dd MMMM yyyy");
  EXPECT_EQ(text(items::timeFormat), u"HH:mm:ss");
  EXPECT_EQ(text(items::morningDesignator), u"");  // German clocks have no AM: still an answer

  EXPECT_EQ(text(items::countryAbbreviation), u"DE");
  EXPECT_EQ(text(items::nativeCountryName), u"Deutschland");
  EXPECT_EQ(text(items::englishCountryName), u"Germany");
  EXPECT_EQ(text(items::nativeLanguageName), u"Deutsch");
  EXPECT_EQ(text(items::englishLanguageName), u"German");

  // Reading a German locale changed neither the process's locale nor this thread's.
  EXPECT_EQ(setlocale(LC_ALL, nullptr), processLocale);
  EXPECT_EQ(uselocale(nullptr), LC_GLOBAL_LOCALE);
  char written[16];
  std::snprintf(written, sizeof written, "%.1f", 1.5);
  EXPECT_STREQ(written, "1.5");
}

TEST_F(GeneratedLocales, EachCategoryIsChosenAsTheCLibraryChoosesIt) {
  REQUIRE_LOCALE(indian, "en_IN.UTF-8");
  REQUIRE_LOCALE(german, "de_DE.ISO-8859-1");
  {
    // The category's own variable beats LANG; an empty LC_ALL counts as unset.
    LocaleEnvironment environment(
        {{"LOCPATH", directory_}, {"LC_ALL", ""}, {"LANG", *german}, {"LC_NUMERIC", *indian}});
    EXPECT_EQ(text(items::grouping), u"3;2;0");
    EXPECT_EQ(text(items::monetaryGrouping), u"3;0");
    EXPECT_EQ(text(items::monthName1 + 2), u"M\u00E4rz");
  }
  {
    // LC_ALL beats both.
    LocaleEnvironment environment(
        {{"LOCPATH", directory_}, {"LC_ALL", "C"}, {"LANG", *german}, {"LC_NUMERIC", *indian}});
    EXPECT_EQ(text(items::grouping), u"");
    EXPECT_EQ(text(items::monthName1 + 2), u"March");
  }
  {
    // Texts are read in their own locale's codeset, whatever LC_CTYPE says.
    LocaleEnvironment environment({{"LOCPATH", directory_},
                                   {"LC_CTYPE", "C"},
                                   {"LC_TIME", *german},
                                   {"LC_MONETARY", *indian}});
    EXPECT_EQ(text(items::monthName1 + 2), u"M\u00E4rz");
    EXPECT_EQ(text(items::currencySymbol), u"\u20B9");
  }
  {
    // A locale that is not installed leaves that category in C, as setlocale would.
    LocaleEnvironment environment(
        {{"LOCPATH", directory_}, {"LANG", *german}, {"LC_TIME", "xx_NOWHERE.UTF-8"}});
    EXPECT_EQ(text(items::monthName1 + 2), u"March");
    EXPECT_EQ(text(items::decimalSeparator), u",");
  }
}

TEST_F(GeneratedLocales, UncommonFormsAreTranslated) {
  REQUIRE_LOCALE(test, "xx_TEST.UTF-8");
  LocaleEnvironment environment({{"LOCPATH", directory_}, {"LC_ALL", *test}});

  EXPECT_EQ(text(items::decimalSeparator), u",");
  EXPECT_EQ(text(items::groupSeparator), u"\u202F");
  EXPECT_EQ(text(items::grouping), u"3");  // {3,CHAR_MAX}: one group, then none
  EXPECT_EQ(text(items::monetaryGrouping), u"4;0");
  EXPECT_EQ(text(items::monetaryDecimalSeparator), u",");
  EXPECT_EQ(text(items::monetaryGroupSeparator), u".");
  EXPECT_EQ(text(items::currencySymbol), u"\u00A4");
  EXPECT_EQ(text(items::internationalSymbol), u"XYZ");
  EXPECT_EQ(number(items::currencyDigits), 3);
  // "- 1$": the space went with the sign, which positive forms drop.
  EXPECT_EQ(number(items::currencyPosition), 1);
  // "$- 1" has no Windows form; "$-1" does.
  EXPECT_EQ(number(items::negativeCurrencyPattern), 2);

  // Windows names months standing alone; the date form differs here.
  EXPECT_EQ(text(items::monthName1), u"January");
  EXPECT_EQ(text(items::abbreviatedMonthName1 + 11), u"Dec");
  EXPECT_EQ(text(items::abbreviatedDayName1), u"Mn");
  // The week's reference day is a Monday here, and the third day from it begins the week.
  EXPECT_EQ(number(items::firstDayOfWeek), 2);  // Wednesday

  EXPECT_EQ(text(items::shortDate), u"d' de 'MMMM' de 'yyyy");  // %-d de %B de %Y
  // From %Y年%-m月%-d日 (%a), %T: the time is gone, the names written in full, and the ")"
  // that closes the last date field stays while the comma after it does not.
  EXPECT_EQ(text(items::longDate), u"yyyy\u5E74M\u6708d\u65E5 (dddd)");
  EXPECT_EQ(text(items::timeFormat), u"HH' h 'mm' o''clock'");  // %H h %M o'clock
  EXPECT_EQ(text(items::timeSeparator), u" h ");
  EXPECT_EQ(text(items::morningDesignator), u"\u00E0m");
  EXPECT_EQ(text(items::afternoonDesignator), u"pm");
}

#endif

}  // namespace
}  // namespace plinth::platform
