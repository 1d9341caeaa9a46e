// The Windows locale items, answered from the user's POSIX locale: each item's category is chosen
// from the environment as setlocale(LC_ALL, "") would choose it, but read through a locale object
// of its own, so the process's locale never changes. docs/locale.md lists, item by item, where
// each answer comes from and how it is converted.
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "plinth/platform/locale_items.h"
#include "plinth/platform/native.h"
#include "plinth/text/utf8.h"

namespace plinth::platform::native {
namespace {

namespace items = platform::locale;

// ---- The user's locale, one category at a time

struct Category {
  int mask;
  const char* variable;
};

constexpr Category numericCategory{LC_NUMERIC_MASK, "LC_NUMERIC"};
constexpr Category monetaryCategory{LC_MONETARY_MASK, "LC_MONETARY"};
constexpr Category timeCategory{LC_TIME_MASK, "LC_TIME"};
#ifdef __GLIBC__
constexpr Category addressCategory{LC_ADDRESS_MASK, "LC_ADDRESS"};
constexpr Category identificationCategory{LC_IDENTIFICATION_MASK, "LC_IDENTIFICATION"};
#endif

// The locale name setlocale(category, "") would use: the first of LC_ALL, the category's own
// variable and LANG that is set and not empty; "C" when none is.
const char* environmentLocaleName(const char* categoryVariable) {
  for (const char* variable : {"LC_ALL", categoryVariable, "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0')
      return value;
  }
  return "C";
}

// One category of the user's locale. Its LC_CTYPE comes from the same locale, so that CODESET
// names the codeset the category's texts are written in, whatever LC_CTYPE the user chose.
class UserLocale {
 public:
  explicit UserLocale(const Category& category) {
    const int mask = category.mask | LC_CTYPE_MASK;
    locale_ = newlocale(mask, environmentLocaleName(category.variable), nullptr);
    // A locale that is not installed leaves a program in "C", as the failed setlocale would.
    if (locale_ == nullptr)
      locale_ = newlocale(mask, "C", nullptr);
  }
  ~UserLocale() {
    if (locale_ != nullptr)
      freelocale(locale_);
  }
  UserLocale(const UserLocale&) = delete;
  UserLocale& operator=(const UserLocale&) = delete;

  bool valid() const { return locale_ != nullptr; }
  const char* text(nl_item item) const { return nl_langinfo_l(item, locale_); }
  const char* codeset() const { return text(CODESET); }

  // Runs `read` on localeconv's answer for this locale. localeconv reads the calling thread's
  // locale, so only this thread switches, and only for the call.
  template <typename Read>
  auto withConventions(Read read) const {
    const locale_t previous = uselocale(locale_);
    auto result = read(*localeconv());
    uselocale(previous);
    return result;
  }

 private:
  locale_t locale_;
};

using Answer = std::optional<std::string>;  // in the locale's codeset; nothing when unanswered

Answer decimalText(int value) {
  if (value < 0)
    return std::nullopt;
  return std::to_string(value);
}

// ---- Numbers and currency

// The C library's grouping is a list of group sizes from the decimal point, ending either at
// the terminator, where the last size repeats, or at CHAR_MAX (or a negative size), after which
// nothing is grouped. Windows writes the same sizes with semicolons and marks "repeat" with a
// final 0: {3} is "3;0", {3,2} is "3;2;0", {3,CHAR_MAX} is "3", and no sizes at all is "".
// Sizes that only say again what repeating says are left out, as Windows does: {3,3} is "3;0".
std::string windowsGrouping(const char* bytes) {
  std::vector<int> sizes;
  bool repeats = true;
  for (const char* size = bytes; *size != '\0' && repeats; ++size) {
    const int value = static_cast<unsigned char>(*size);
    repeats = (value < CHAR_MAX) && (static_cast<signed char>(*size) > 0);
    if (repeats)
      sizes.push_back(value);
  }
  while (repeats && sizes.size() > 1 && sizes.back() == sizes[sizes.size() - 2])
    sizes.pop_back();
  std::string grouping;
  for (int size : sizes) {
    if (!grouping.empty())
      grouping += ';';
    grouping += std::to_string(size);
  }
  if (repeats && !sizes.empty())
    grouping += ";0";
  return grouping;
}

// How the C library lays out an amount, drawn with '$' for the symbol, '1' for the number, '-'
// for the sign and parentheses for sign position 0: "-$1", "1 $-", "($ 1)". Values outside
// the defined ranges (CHAR_MAX: the locale does not say) have no layout.
std::optional<std::string> currencyLayout(int symbolFirst, int spacing, int signPosition) {
  if (symbolFirst < 0 || symbolFirst > 1 || spacing < 0 || spacing > 2 || signPosition < 0 ||
      signPosition > 4) {
    return std::nullopt;
  }
  // Spacing 1 puts the space between the symbol (with a sign beside it) and the number; 2 puts
  // it on the inner side of the sign instead. Parentheses are no sign string: 2 acts as 1.
  const bool spaceBySign = spacing == 2 && signPosition != 0;
  const std::string gap = spacing == 0 || spaceBySign ? "" : " ";
  std::string symbol = "$";
  if (signPosition == 3)
    symbol = spaceBySign ? "- $" : "-$";
  if (signPosition == 4)
    symbol = spaceBySign ? "$ -" : "$-";
  const std::string layout = symbolFirst == 1 ? symbol + gap + "1" : "1" + gap + symbol;
  if (signPosition == 0)
    return "(" + layout + ")";
  if (signPosition == 1)
    return (spaceBySign ? "- " : "-") + layout;
  if (signPosition == 2)
    return layout + (spaceBySign ? " -" : "-");
  return layout;
}

Answer indexIn(std::initializer_list<std::string_view> layouts, std::string_view layout) {
  const auto found = std::find(layouts.begin(), layouts.end(), layout);
  if (found == layouts.end())
    return std::nullopt;
  return std::to_string(found - layouts.begin());
}

// Windows' positive forms carry no sign; a space that only set the sign apart goes with it.
Answer positiveCurrencyPattern(const lconv& conventions) {
  std::optional<std::string> layout = currencyLayout(
      conventions.p_cs_precedes, conventions.p_sep_by_space, conventions.p_sign_posn);
  if (!layout)
    return std::nullopt;
  std::erase_if(*layout, [](char unit) { return unit == '-' || unit == '(' || unit == ')'; });
  const auto first = layout->find_first_not_of(' ');
  const auto last = layout->find_last_not_of(' ');
  return indexIn({"$1", "1$", "$ 1", "1 $"},
                 std::string_view(*layout).substr(first, last - first + 1));
}

// A layout Windows has no form for (a space beside the sign, say) answers the form it has
// without the spaces; every unspaced layout has one.
Answer negativeCurrencyPattern(const lconv& conventions) {
  std::optional<std::string> layout = currencyLayout(
      conventions.n_cs_precedes, conventions.n_sep_by_space, conventions.n_sign_posn);
  if (!layout)
    return std::nullopt;
  const std::initializer_list<std::string_view> windowsForms = {
      "($1)", "-$1",  "$-1",  "$1-",  "(1$)", "-1$",  "1-$",   "1$-",
      "-1 $", "-$ 1", "1 $-", "$ 1-", "$ -1", "1- $", "($ 1)", "(1 $)"};
  if (Answer pattern = indexIn(windowsForms, *layout))
    return pattern;
  std::erase(*layout, ' ');
  return indexIn(windowsForms, *layout);
}

// The international symbol is the ISO 4217 code and a separator character; Windows gives the
// code alone.
std::string internationalSymbol(const char* symbol) {
  std::string code = symbol;
  if (code.size() == 4)
    code.pop_back();
  return code;
}

Answer readNumeric(std::uint32_t item, const UserLocale& locale) {
  return locale.withConventions([item](const lconv& conventions) -> Answer {
    switch (item) {
      case items::decimalSeparator:
        return conventions.decimal_point;
      case items::groupSeparator:
        return conventions.thousands_sep;
      case items::grouping:
        return windowsGrouping(conventions.grouping);
      default:
        return std::nullopt;
    }
  });
}

Answer readMonetary(std::uint32_t item, const UserLocale& locale) {
  return locale.withConventions([item](const lconv& conventions) -> Answer {
    switch (item) {
      case items::currencySymbol:
        return conventions.currency_symbol;
      case items::internationalSymbol:
        return internationalSymbol(conventions.int_curr_symbol);
      case items::monetaryDecimalSeparator:
        return conventions.mon_decimal_point;
      case items::monetaryGroupSeparator:
        return conventions.mon_thousands_sep;
      case items::monetaryGrouping:
        return windowsGrouping(conventions.mon_grouping);
      case items::currencyDigits:
        // CHAR_MAX: the locale does not say.
        if (conventions.frac_digits == CHAR_MAX)
          return std::nullopt;
        return decimalText(conventions.frac_digits);
      case items::currencyPosition:
        return positiveCurrencyPattern(conventions);
      case items::negativeCurrencyPattern:
        return negativeCurrencyPattern(conventions);
      default:
        return std::nullopt;
    }
  });
}

// ---- Date and time pictures

// One piece of a strftime format: a conversion such as %d, or literal text.
struct FormatPiece {
  char conversion = 0;    // 0 for literal text
  bool unpadded = false;  // the '-' flag: %-d writes 5 where %d writes 05
  std::string literal;
};

// The conversions that stand for a whole format: the locale's own ones and the fixed ones.
const char* compositeFormat(char conversion, const UserLocale& locale) {
  switch (conversion) {
    case 'c':
      return locale.text(D_T_FMT);
    case 'x':
      return locale.text(D_FMT);
    case 'X':
      return locale.text(T_FMT);
    case 'r': {
      const char* format = locale.text(T_FMT_AMPM);
      return *format != '\0' ? format : "%I:%M:%S %p";
    }
    case 'D':
      return "%m/%d/%y";
    case 'F':
      return "%Y-%m-%d";
    case 'R':
      return "%H:%M";
    case 'T':
      return "%H:%M:%S";
    default:
      return nullptr;
  }
}

void appendLiteral(std::vector<FormatPiece>& pieces, std::string_view text) {
  if (pieces.empty() || pieces.back().conversion != 0)
    pieces.emplace_back();
  pieces.back().literal += text;
}

// Splits a strftime format into pieces, with the composite conversions written out. The depth
// bounds a locale whose formats name each other (a T_FMT of "%X").
void splitFormat(const char* format, const UserLocale& locale, int depth,
                 std::vector<FormatPiece>& pieces) {
  const char* next = format;
  while (*next != '\0') {
    if (*next != '%') {
      appendLiteral(pieces, std::string_view(next++, 1));
      continue;
    }
    ++next;
    bool unpadded = false;
    while (*next != '\0' && std::strchr("_-0^#", *next) != nullptr)
      unpadded |= *next++ == '-';
    while (*next >= '0' && *next <= '9')
      ++next;  // a field width
    if (*next == 'E' || *next == 'O')
      ++next;  // alternative eras and digits
    const char conversion = *next;
    if (conversion == '\0')
      break;
    ++next;
    if (const char* composite = compositeFormat(conversion, locale)) {
      if (depth < 4)
        splitFormat(composite, locale, depth + 1, pieces);
    } else if (conversion == '%') {
      appendLiteral(pieces, "%");
    } else if (conversion == 'n') {
      appendLiteral(pieces, "\n");
    } else if (conversion == 't') {
      appendLiteral(pieces, "\t");
    } else {
      pieces.push_back({conversion, unpadded, {}});
    }
  }
}

std::vector<FormatPiece> formatPieces(nl_item item, const UserLocale& locale) {
  std::vector<FormatPiece> pieces;
  splitFormat(locale.text(item), locale, 0, pieces);
  return pieces;
}

struct PictureCode {
  char conversion;
  const char* padded;
  const char* unpadded;
};

// %e pads with a space, which Windows cannot: it becomes the plain day. Conversions missing here
// (the time zone, week numbers, the century) have no Windows picture and are left out.
constexpr PictureCode pictureCodes[] = {
    {'d', "dd", "d"},      {'e', "d", "d"},       {'m', "MM", "M"},      {'y', "yy", "yy"},
    {'Y', "yyyy", "yyyy"}, {'a', "ddd", "ddd"},   {'A', "dddd", "dddd"}, {'b', "MMM", "MMM"},
    {'h', "MMM", "MMM"},   {'B', "MMMM", "MMMM"}, {'H', "HH", "H"},      {'k', "H", "H"},
    {'I', "hh", "h"},      {'l', "h", "h"},       {'M', "mm", "m"},      {'S', "ss", "s"},
    {'p', "tt", "tt"},     {'P', "tt", "tt"},
};

const PictureCode* pictureCode(char conversion) {
  for (const PictureCode& code : pictureCodes) {
    if (code.conversion == conversion)
      return &code;
  }
  return nullptr;
}

// Literal text goes in quotes when Windows could read a picture letter in it; a quote inside is
// doubled.
std::string quotedLiteral(const std::string& text) {
  const bool plain = std::none_of(text.begin(), text.end(), [](char unit) {
    return unit == '\'' || (unit >= 'a' && unit <= 'z') || (unit >= 'A' && unit <= 'Z');
  });
  if (plain)
    return text;
  std::string quoted = "'";
  for (char unit : text)
    quoted += unit == '\'' ? std::string("''") : std::string(1, unit);
  return quoted + "'";
}

// The Windows picture for a strftime format. Literal text is kept but for spaces at either end,
// which a left-out conversion (a trailing %Z) may leave behind.
std::string windowsPicture(const std::vector<FormatPiece>& pieces) {
  std::string picture;
  std::string literal;
  for (const FormatPiece& piece : pieces) {
    if (piece.conversion == 0) {
      literal += piece.literal;
    } else if (const PictureCode* code = pictureCode(piece.conversion)) {
      if (picture.empty())
        literal.erase(0, literal.find_first_not_of(" \t\n"));
      picture += quotedLiteral(literal) + (piece.unpadded ? code->unpadded : code->padded);
      literal.clear();
    }
  }
  literal.erase(literal.find_last_not_of(" \t\n") + 1);
  if (picture.empty())
    literal.erase(0, literal.find_first_not_of(" \t\n"));
  return picture + quotedLiteral(literal);
}

bool isDateConversion(char conversion) {
  return conversion != 0 && std::strchr("aAbBhdemyY", conversion) != nullptr;
}

// Windows' long date names the day and month in full. POSIX has no long date, so it is taken
// from the date-and-time format: from its first to its last date field, without the time fields
// (each with the literal after it), with names written in full, and with the text that clings
// to the last field (the closing ")" or "日" of "(%a) %r", "%d日 %H") up to a space, less a
// trailing comma.
std::optional<std::vector<FormatPiece>> longDatePieces(const std::vector<FormatPiece>& pieces) {
  const auto isDate = [](const FormatPiece& piece) { return isDateConversion(piece.conversion); };
  const auto first = std::find_if(pieces.begin(), pieces.end(), isDate);
  if (first == pieces.end())
    return std::nullopt;
  const auto last = std::find_if(pieces.rbegin(), pieces.rend(), isDate).base() - 1;
  std::vector<FormatPiece> date;
  for (auto piece = first; piece <= last; ++piece) {
    if (piece->conversion != 0 && !isDate(*piece)) {
      if (piece + 1 < last && (piece + 1)->conversion == 0)
        ++piece;
      continue;
    }
    date.push_back(*piece);
    if (date.back().conversion == 'a')
      date.back().conversion = 'A';
    if (date.back().conversion == 'b' || date.back().conversion == 'h') {
      date.back().conversion = 'B';
    }
  }
  if (last + 1 != pieces.end()) {
    std::string clinging = (last + 1)->literal;
    clinging.erase(std::min(clinging.find_first_of(" \t\n"), clinging.size()));
    if (!clinging.empty() && clinging.back() == ',')
      clinging.pop_back();
    if (!clinging.empty())
      date.push_back({0, false, clinging});
  }
  return date;
}

// The text between the hour and the minutes.
Answer timeSeparator(const std::vector<FormatPiece>& pieces) {
  for (std::size_t index = 0; index + 2 < pieces.size(); ++index) {
    const bool hour =
        pieces[index].conversion != 0 && std::strchr("HkIl", pieces[index].conversion);
    if (hour && pieces[index + 1].conversion == 0 && pieces[index + 2].conversion == 'M') {
      return pieces[index + 1].literal;
    }
  }
  return std::nullopt;
}

// ---- Calendar

static_assert(DAY_7 == DAY_1 + 6 && ABDAY_7 == ABDAY_1 + 6 && MON_12 == MON_1 + 11 &&
              ABMON_12 == ABMON_1 + 11);

// Windows counts the week from Monday; the C library's first day name is Sunday's.
nl_item dayItem(nl_item sunday, std::uint32_t mondayFirstIndex) {
  return sunday + static_cast<nl_item>((mondayFirstIndex + 1) % 7);
}

#ifdef ALTMON_1
// Windows names a month as it stands alone; glibc keeps that form apart from the one used inside
// a date (Polish "styczeń" beside "1 stycznia").
constexpr nl_item monthNameItem = ALTMON_1;
constexpr nl_item abbreviatedMonthNameItem = _NL_ABALTMON_1;
#else
constexpr nl_item monthNameItem = MON_1;
constexpr nl_item abbreviatedMonthNameItem = ABMON_1;
#endif

#ifdef __GLIBC__
// 0 for Sunday, in the Gregorian calendar.
int dayOfWeek(int year, int month, int day) {
  constexpr int monthOffsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  if (month < 3)
    --year;
  return (year + year / 4 - year / 100 + year / 400 + monthOffsets[month - 1] + day) % 7;
}

// glibc keeps the week as a reference date that is day 1 of a week (week-1stday, such as
// 19971130, a Sunday) and the first day of the week counted from it (first_weekday, 1 for the
// reference day itself).
Answer firstDayOfWeek(const UserLocale& locale) {
  // The date is a number stored where the text pointer would be; glibc's own union puts the
  // number in the pointer's first bytes.
  const char* stored = locale.text(_NL_TIME_WEEK_1STDAY);
  unsigned int date = 0;
  std::memcpy(&date, &stored, sizeof date);
  const int firstWeekday = locale.text(_NL_TIME_FIRST_WEEKDAY)[0];
  const int year = static_cast<int>(date / 10000);
  const int month = static_cast<int>(date / 100 % 100);
  const int day = static_cast<int>(date % 100);
  if (year < 1 || month < 1 || month > 12 || day < 1 || day > 31 || firstWeekday < 1 ||
      firstWeekday > 7) {
    return std::nullopt;
  }
  const int sundayFirst = (dayOfWeek(year, month, day) + firstWeekday - 1) % 7;
  return decimalText((sundayFirst + 6) % 7);
}
#else
Answer firstDayOfWeek(const UserLocale&) {
  return std::nullopt;
}
#endif

Answer readTime(std::uint32_t item, const UserLocale& locale) {
  if (item >= items::dayName1 && item < items::dayName1 + 7) {
    return locale.text(dayItem(DAY_1, item - items::dayName1));
  }
  if (item >= items::abbreviatedDayName1 && item < items::abbreviatedDayName1 + 7) {
    return locale.text(dayItem(ABDAY_1, item - items::abbreviatedDayName1));
  }
  if (item >= items::monthName1 && item < items::monthName1 + 12) {
    return locale.text(monthNameItem + static_cast<nl_item>(item - items::monthName1));
  }
  if (item >= items::abbreviatedMonthName1 && item < items::abbreviatedMonthName1 + 12) {
    return locale.text(abbreviatedMonthNameItem +
                       static_cast<nl_item>(item - items::abbreviatedMonthName1));
  }
  switch (item) {
    case items::monthName13:
    case items::abbreviatedMonthName13:
      // The POSIX calendar has twelve months; Windows answers an empty name for the thirteenth.
      return std::string();
    case items::firstDayOfWeek:
      return firstDayOfWeek(locale);
    case items::shortDate:
      return windowsPicture(formatPieces(D_FMT, locale));
    case items::longDate: {
      const auto pieces = longDatePieces(formatPieces(D_T_FMT, locale));
      if (!pieces)
        return std::nullopt;
      return windowsPicture(*pieces);
    }
    case items::timeFormat:
      return windowsPicture(formatPieces(T_FMT, locale));
    case items::timeSeparator:
      return timeSeparator(formatPieces(T_FMT, locale));
    case items::morningDesignator:
      return locale.text(AM_STR);
    case items::afternoonDesignator:
      return locale.text(PM_STR);
    default:
      return std::nullopt;
  }
}

// ---- Country and language (glibc's address and identification categories)

#ifdef __GLIBC__
// An empty name means the locale does not say (the C locale names no country).
Answer nonEmpty(const char* text) {
  if (*text == '\0')
    return std::nullopt;
  return text;
}

Answer readAddress(std::uint32_t item, const UserLocale& locale) {
  switch (item) {
    // Windows gives a three-letter abbreviation, of which the library keeps two letters: the
    // two-letter code is what it wants.
    case items::countryAbbreviation:
      return nonEmpty(locale.text(_NL_ADDRESS_COUNTRY_AB2));
    case items::nativeCountryName:
      return nonEmpty(locale.text(_NL_ADDRESS_COUNTRY_NAME));
    case items::nativeLanguageName:
      return nonEmpty(locale.text(_NL_ADDRESS_LANG_NAME));
    default:
      return std::nullopt;
  }
}

Answer readIdentification(std::uint32_t item, const UserLocale& locale) {
  switch (item) {
    case items::englishCountryName:
      return nonEmpty(locale.text(_NL_IDENTIFICATION_TERRITORY));
    case items::englishLanguageName:
      return nonEmpty(locale.text(_NL_IDENTIFICATION_LANGUAGE));
    default:
      return std::nullopt;
  }
}
#endif

// ---- Items to sources

struct ItemSource {
  std::uint32_t first;
  std::uint32_t last;
  const Category* category;
  Answer (*read)(std::uint32_t item, const UserLocale& locale);
};

// Items without a source here (the currency names among them) are not answered.
constexpr ItemSource itemSources[] = {
    {items::decimalSeparator, items::grouping, &numericCategory, readNumeric},
    {items::currencySymbol, items::negativeCurrencyPattern, &monetaryCategory, readMonetary},
    {items::timeSeparator, items::longDate, &timeCategory, readTime},
    // 0x28 to 0x4F: the designators, then the day and month names.
    {items::morningDesignator, items::abbreviatedMonthName1 + 11, &timeCategory, readTime},
    {items::timeFormat, items::timeFormat, &timeCategory, readTime},
    {items::firstDayOfWeek, items::firstDayOfWeek, &timeCategory, readTime},
    {items::monthName13, items::abbreviatedMonthName13, &timeCategory, readTime},
#ifdef __GLIBC__
    {items::nativeLanguageName, items::nativeLanguageName, &addressCategory, readAddress},
    {items::countryAbbreviation, items::nativeCountryName, &addressCategory, readAddress},
    {items::englishLanguageName, items::englishCountryName, &identificationCategory,
     readIdentification},
#endif
};

// The item's text in its locale's codeset, and that codeset.
struct LocaleAnswer {
  std::string text;
  std::string codeset;
};

std::optional<LocaleAnswer> answerItem(std::uint32_t item) {
  for (const ItemSource& source : itemSources) {
    if (item < source.first || item > source.last)
      continue;
    const UserLocale locale(*source.category);
    if (!locale.valid())
      return std::nullopt;
    Answer text = source.read(item, locale);
    if (!text)
      return std::nullopt;
    return LocaleAnswer{std::move(*text), locale.codeset()};
  }
  return std::nullopt;
}

// ---- Conversion and the Windows way of returning text

std::optional<std::u16string> toUtf16(const LocaleAnswer& answer) {
  const char* utf16 = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";
  const iconv_t converter = iconv_open(utf16, answer.codeset.c_str());
  if (converter == reinterpret_cast<iconv_t>(-1))
    return std::nullopt;
  std::u16string text(answer.text.size() + 1, u'\0');
  std::size_t convertedUnits = 0;
  char* input = const_cast<char*>(answer.text.data());
  std::size_t inputLeft = answer.text.size();
  bool failed = false;
  bool flushed = false;
  while (!failed && !flushed) {
    char* output = reinterpret_cast<char*>(text.data() + convertedUnits);
    std::size_t outputLeft = (text.size() - convertedUnits) * sizeof(char16_t);
    // Once the input is used up, one more call writes what a stateful codeset still owes.
    const bool flushing = inputLeft == 0;
    const std::size_t result = flushing
                                   ? iconv(converter, nullptr, nullptr, &output, &outputLeft)
                                   : iconv(converter, &input, &inputLeft, &output, &outputLeft);
    convertedUnits = text.size() - outputLeft / sizeof(char16_t);
    if (result != static_cast<std::size_t>(-1)) {
      flushed = flushing;
    } else if (errno == E2BIG) {
      text.resize(text.size() * 2);  // a byte may stand for several characters
    } else {
      failed = true;  // bytes that are not text in this codeset
    }
  }
  iconv_close(converter);
  if (failed)
    return std::nullopt;
  text.resize(convertedUnits);
  return text;
}

// Stores `text` and its terminator, and returns the count stored; size 0 asks for the count
// needed instead. A failure stores empty text where there is room for it.
template <typename Unit>
int store(const std::optional<std::basic_string<Unit>>& text, Unit* buffer, int size) {
  if (text && size >= 0) {
    const int needed = static_cast<int>(text->size()) + 1;
    if (size == 0)
      return needed;
    if (buffer != nullptr && needed <= size) {
      std::copy(text->begin(), text->end(), buffer);
      buffer[needed - 1] = Unit{0};
      return needed;
    }
  }
  if (buffer != nullptr && size > 0)
    buffer[0] = Unit{0};
  return 0;
}

}  // namespace

int localeText(std::uint32_t item, char16_t* buffer, int size) {
  const std::optional<LocaleAnswer> answer = answerItem(item);
  return store(answer ? toUtf16(*answer) : std::nullopt, buffer, size);
}

// The narrow answer is the text in the locale's own codeset, as Windows answers in the locale's
// code page.
int localeNarrowText(std::uint32_t item, char* buffer, int size) {
  std::optional<LocaleAnswer> answer = answerItem(item);
  return store(answer ? std::optional<std::string>(std::move(answer->text)) : std::nullopt, buffer,
               size);
}

// The library passes a two-letter country code, which names no POSIX locale; and changing the
// process's locale would change how the C library reads and writes numbers for everyone.
bool setRuntimeLocale(const char*) {
  return false;
}

// Terminals, and the console this library writes, speak UTF-8; an argument typed there is UTF-8
// whatever the locale variables say.
std::u16string argumentText(const char* argument) {
  std::u16string text;
  Utf8Decoder().decode(argument, text);
  return text;
}

}  // namespace plinth::platform::native
