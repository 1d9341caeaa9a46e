#include "plinth/text/text_writer.h"

#include "plinth/text/debug_dest.h"
#include "plinth/text/digits.h"
#include "plinth/text/locale_record.h"
#include "plinth/text/utf8.h"

namespace plinth {
namespace {

constexpr std::size_t longestRun = 127;
constexpr char16_t noSign = 0;

char16_t widen(char16_t unit) {
  return unit;
}
char16_t widen(char byte) {
  return widenChar(static_cast<unsigned char>(byte), codePage1252);
}

}  // namespace

TextWriter& console() {
  static TextWriter* writer = nullptr;  // never destroyed, like its destination
  if (writer == nullptr)
    writer = new TextWriter(&consoleDestination());
  return writer->resetFormat();
}

TextWriter& TextWriter::resetFormat() {
  base2 = hex = showPlus = groupDigits = false;
  width = minDigits = 0;
  return *this;
}

template <typename Char>
TextWriter& TextWriter::writeRuns(const Char* zeroTerminated) {
  if (zeroTerminated == nullptr)
    return *this;
  plinth_string run;
  for (const Char* next = zeroTerminated; *next != 0; ++next) {
    if (*next == '\n') {
      if (run.length > 0) {
        dest->putChars(run.text, run.length);
        run.erase(0, plinth_string::eraseAll);
      }
      writeNewline();
      continue;
    }
    run.appendChar(widen(*next));
    if (run.length == longestRun) {
      // A high surrogate waits for the next run: destinations keep nothing between writes, so a
      // pair only becomes one character when both halves come in the same write.
      const std::size_t handed =
          isHighSurrogate(run.text[longestRun - 1]) ? longestRun - 1 : longestRun;
      dest->putChars(run.text, handed);
      run.erase(0, handed);
    }
  }
  if (run.length > 0)
    dest->putChars(run.text, run.length);
  return *this;
}

TextWriter& TextWriter::writeText(const char* zeroTerminated) {
  return writeRuns(zeroTerminated);
}

TextWriter& TextWriter::writeWideText(const char16_t* zeroTerminated) {
  return writeRuns(zeroTerminated);
}

TextWriter& TextWriter::writeWideString(const plinth_string& text) {
  return writeWideText(text.text);
}

TextWriter& TextWriter::writeChar(char character) {
  return writeWideChar(widen(character));
}

TextWriter& TextWriter::writeWideChar(char16_t unit) {
  if (unit == u'\n') {
    writeNewline();
  } else {
    dest->putChar(unit);
  }
  return *this;
}

void TextWriter::writeNewline() {
  switch (newlineMode) {
    case newlineCrLf:
      dest->putString(u"\r\n");
      break;
    case newlineCr:
      dest->putChar(u'\r');
      break;
    case newlineLf:
      dest->putChar(u'\n');
      break;
    default:
      break;  // dropped
  }
}

TextWriter& TextWriter::writeInt(std::int32_t value) {
  if (base2)
    return writeUInt64(static_cast<std::uint64_t>(std::int64_t{value}));  // two's complement
  char16_t sign = noSign;
  // The magnitude as unsigned, so that the most negative value has one.
  std::uint32_t magnitude = static_cast<std::uint32_t>(value);
  if (value < 0) {
    sign = u'-';
    magnitude = 0u - magnitude;
  } else if (showPlus) {
    sign = u'+';
  }
  writeNumber(magnitude, sign);
  return *this;
}

TextWriter& TextWriter::writeUInt64(std::uint64_t value) {
  writeNumber(value, noSign);
  return *this;
}

void TextWriter::writeNumber(std::uint64_t magnitude, char16_t sign) {
  const unsigned base = base2 ? 2 : hex ? 16 : 10;
  std::size_t least = minDigits > 1 ? static_cast<std::size_t>(minDigits) : 1;
  if (base2 && least > 64)
    least = 64;  // a 64-bit pattern has no more places
  plinth_string digits;
  digits.appendRepeated(digitCount(magnitude, base, least), u'0');
  placeDigits(magnitude, base, digits.text, digits.length);
  // Locale grouping is for decimal digits; hex and base 2 are written ungrouped.
  if (groupDigits && base == 10) {
    plinth_string grouped;
    StringTextDest groupedDest(&grouped);
    formatGroupedNumber(getLocaleRecord(), digits.text, groupedDest, nullptr);
    digits.assign(grouped);
  }
  std::int32_t padding = width;
  if (padding > 0 && sign != noSign)
    --padding;
  for (; padding > 0 && static_cast<std::size_t>(padding) > digits.length; --padding) {
    dest->putChar(u' ');
  }
  if (sign != noSign)
    dest->putChar(sign);
  dest->putChars(digits.text, digits.length);
}

}  // namespace plinth
