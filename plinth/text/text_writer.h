// The formatting front end: strings, characters and integers to a text destination, with line
// feeds translated by the newline mode.
#pragma once

#include <cstdint>

#include "plinth/strings/plinth_string.h"
#include "plinth/text/text_dest.h"

namespace plinth {

// What a line feed in written text becomes.
inline constexpr std::int32_t newlineCrLf = 1;  // carriage return, line feed
inline constexpr std::int32_t newlineCr = 2;
inline constexpr std::int32_t newlineLf = 3;
// Any other mode drops line feeds.

class TextWriter {
 public:
  explicit TextWriter(TextDest* destination) : dest(destination) {}

  // Back to base 10, no sign, no grouping, no width, no minimum digit count. Keeps newlineMode.
  TextWriter& resetFormat();

  // Text goes to the destination in runs of at most 127 units; no run spans a line feed, and none
  // ends between the halves of a surrogate pair. A null text writes nothing. Narrow text is code
  // page 1252, like every platform text.
  TextWriter& writeText(const char* zeroTerminated);
  TextWriter& writeWideText(const char16_t* zeroTerminated);
  TextWriter& writeWideString(const plinth_string& text);
  TextWriter& writeChar(char character);
  TextWriter& writeWideChar(char16_t unit);
  TextWriter& writeInt(std::int32_t value);
  TextWriter& writeUInt64(std::uint64_t value);

  TextDest* dest;  // not owned
  std::int32_t newlineMode = newlineCrLf;
  bool base2 = false;
  bool hex = false;            // ignored while base2 is set
  bool showPlus = false;       // writeInt only
  bool groupDigits = false;    // by the user's locale; decimal only
  std::int32_t width = 0;      // minimum field width, spaces on the left
  std::int32_t minDigits = 0;  // minimum digit count, zeros on the left

 private:
  template <typename Char>
  TextWriter& writeRuns(const Char* zeroTerminated);
  void writeNewline();
  // The magnitude in the writer's base, grouped and padded as it says, the sign apart.
  void writeNumber(std::uint64_t magnitude, char16_t sign);
};

// The process's console writer, over the console destination, starting from default formatting
// on every call.
TextWriter& console();

}  // namespace plinth
