// The locale items the library reads through `Services::localeText` and `localeNarrowText`.
//
// They are numbered as Windows numbers its LOCALE_* items (named beside each), so the Win32
// services hand them to GetLocaleInfo unchanged and the POSIX services answer the same numbers
// (docs/locale.md says from where). Numeric items answer their decimal text.
#pragma once

#include <cstdint>

namespace plinth::platform::locale {

// Country and language.
inline constexpr std::uint32_t countryAbbreviation = 0x07;    // LOCALE_SABBREVCTRYNAME
inline constexpr std::uint32_t nativeCountryName = 0x08;      // LOCALE_SNATIVECTRYNAME
inline constexpr std::uint32_t englishCountryName = 0x1002;   // LOCALE_SENGCOUNTRY
inline constexpr std::uint32_t nativeLanguageName = 0x04;     // LOCALE_SNATIVELANGNAME
inline constexpr std::uint32_t englishLanguageName = 0x1001;  // LOCALE_SENGLANGUAGE

// Numbers. A grouping is written the Windows way: group sizes counted from the decimal point,
// separated by semicolons, with a final 0 when the last size repeats ("3;0", "3;2;0", "3").
inline constexpr std::uint32_t decimalSeparator = 0x0E;  // LOCALE_SDECIMAL
inline constexpr std::uint32_t groupSeparator = 0x0F;    // LOCALE_STHOUSAND
inline constexpr std::uint32_t grouping = 0x10;          // LOCALE_SGROUPING

// Currency. `currencyPosition` is Windows' positive form 0..3 ("$1", "1$", "$ 1", "1 $") and
// `negativeCurrencyPattern` its negative form 0..15.
inline constexpr std::uint32_t nativeCurrencyName = 0x1008;      // LOCALE_SNATIVECURRNAME
inline constexpr std::uint32_t englishCurrencyName = 0x1007;     // LOCALE_SENGCURRNAME
inline constexpr std::uint32_t currencySymbol = 0x14;            // LOCALE_SCURRENCY
inline constexpr std::uint32_t internationalSymbol = 0x15;       // LOCALE_SINTLSYMBOL
inline constexpr std::uint32_t monetaryDecimalSeparator = 0x16;  // LOCALE_SMONDECIMALSEP
inline constexpr std::uint32_t monetaryGroupSeparator = 0x17;    // LOCALE_SMONTHOUSANDSEP
inline constexpr std::uint32_t monetaryGrouping = 0x18;          // LOCALE_SMONGROUPING
inline constexpr std::uint32_t currencyDigits = 0x19;            // LOCALE_ICURRDIGITS
inline constexpr std::uint32_t currencyPosition = 0x1B;          // LOCALE_ICURRENCY
inline constexpr std::uint32_t negativeCurrencyPattern = 0x1C;   // LOCALE_INEGCURR

// Calendar. The first day of the week counts 0 for Monday to 6 for Sunday. Day names run
// Monday first: `dayName1 + 6` is Sunday. Months 1 to 12 are consecutive items; the thirteenth
// month, which most calendars lack (its names are then empty text), is numbered apart.
inline constexpr std::uint32_t firstDayOfWeek = 0x100C;          // LOCALE_IFIRSTDAYOFWEEK
inline constexpr std::uint32_t dayName1 = 0x2A;                  // LOCALE_SDAYNAME1..7
inline constexpr std::uint32_t abbreviatedDayName1 = 0x31;       // LOCALE_SABBREVDAYNAME1..7
inline constexpr std::uint32_t monthName1 = 0x38;                // LOCALE_SMONTHNAME1..12
inline constexpr std::uint32_t monthName13 = 0x100E;             // LOCALE_SMONTHNAME13
inline constexpr std::uint32_t abbreviatedMonthName1 = 0x44;     // LOCALE_SABBREVMONTHNAME1..12
inline constexpr std::uint32_t abbreviatedMonthName13 = 0x100F;  // LOCALE_SABBREVMONTHNAME13

// Date and time, as Windows pictures ("dddd, MMMM d, yyyy", "h:mm:ss tt").
inline constexpr std::uint32_t longDate = 0x20;             // LOCALE_SLONGDATE
inline constexpr std::uint32_t shortDate = 0x1F;            // LOCALE_SSHORTDATE
inline constexpr std::uint32_t timeFormat = 0x1003;         // LOCALE_STIMEFORMAT
inline constexpr std::uint32_t timeSeparator = 0x1E;        // LOCALE_STIME
inline constexpr std::uint32_t morningDesignator = 0x28;    // LOCALE_S1159
inline constexpr std::uint32_t afternoonDesignator = 0x29;  // LOCALE_S2359

}  // namespace plinth::platform::locale
