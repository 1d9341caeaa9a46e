// The user's locale, read once, and numbers written with its digit grouping.
#pragma once

#include <cstdint>

#include "plinth/strings/plinth_string.h"
#include "plinth/text/text_dest.h"

namespace plinth {

// How a number is laid out. In a pattern "%" is the number's place and, in currency patterns, "$"
// the symbol's; every other unit stands for itself. `grouping` is kept as the locale gives it: the
// group sizes from the least significant digit on, separated by semicolons (3;0, 3;2;0, 10;0), or
// without semicolons one digit per size (30, 320). A 0, or anything else where a size should be,
// makes the last size (3 if there was none) repeat; where the text ends, grouping ends, so "3;2"
// leaves the digits before the last five as one group.
struct NumberFormat {
  NumberFormat();

  std::int32_t digits = 2;
  plinth_string decimalSeparator;
  plinth_string grouping;
  plinth_string groupSeparator;
  plinth_string positivePattern;
  plinth_string negativePattern;
};

struct CurrencyFormat : NumberFormat {
  CurrencyFormat();

  plinth_string internationalSymbol;
  plinth_string currencySymbol;
};

// A snapshot of the user's locale items. Only the number format is read after it is built; the
// date and time pictures are kept in the library's own % codes.
struct LocaleRecord {
  plinth_string countryCode;  // two capitals
  plinth_string nativeCountryName;
  plinth_string englishCountryName;
  plinth_string nativeLanguageName;
  plinth_string englishLanguageName;
  NumberFormat numberFormat;
  CurrencyFormat currencyFormat;
  plinth_string nativeCurrencyName;
  plinth_string englishCurrencyName;
  plinth_string timeFormat;
  plinth_string timeSeparator;
  plinth_string morningDesignator;
  plinth_string afternoonDesignator;
  std::int32_t firstDayOfWeek = 0;  // 1 Monday .. 7 Sunday
  plinth_string dayNames[7];        // Monday first
  plinth_string abbreviatedDayNames[7];
  plinth_string monthNames[13];
  plinth_string abbreviatedMonthNames[13];
  plinth_string longDateFormat;
  plinth_string shortDateFormat;
};

// The process's locale record, built on the first call (not on two threads at once) and kept,
// unchanged, until exit.
const LocaleRecord& getLocaleRecord();

// Releases the record (the library's exit handlers call it); a later call builds it again.
void releaseLocaleRecord();

// Writes a digit text (an optional leading minus, then digits; anything after them is ignored; no
// digits reads as 0) through `format`, or the record's number format when `format` is null, with
// group separators, one putChar per unit.
void formatGroupedNumber(const LocaleRecord& record, const char16_t* digitText, TextDest& dest,
                         const NumberFormat* format);

// Locale items of the user's default locale, by their Windows item number. A failed read is tried
// once more; two failures leave the text empty, or give 0.
void readLocaleText(std::uint32_t item, plinth_string& target);
std::int32_t readLocaleNumber(std::uint32_t item);

// Reads a date or time picture and stores it in the library's % codes.
void convertDateFormat(std::uint32_t item, plinth_string& target);
void convertTimeFormat(std::uint32_t item, plinth_string& target);

// The translations themselves, on a picture already read.
void translateDatePicture(const plinth_string& picture, plinth_string& target);
void translateTimePicture(const plinth_string& picture, plinth_string& target);

}  // namespace plinth
