// The library's string: UTF-16 code units ("units"), short texts inside the object, longer ones in
// a heap block. Every library text (names, addresses, formatted numbers, locale items) is one.
//
// The fields are public: callers hand `text` and `length` straight to text destinations. `text`
// may point into the object itself, so a plinth_string is never copied bytewise.
//
// Growth is exact and documented per operation (plinth_string.cpp); once a string has a heap block
// it keeps one, and shortening never shrinks it. When the heap cannot supply a block the operation
// throws std::bad_alloc and leaves the string as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace plinth {

// Code page selectors for 8-bit text.
inline constexpr int codePage437 = 0;   // IBM PC
inline constexpr int codePage1252 = 1;  // Windows Western; what every platform text uses
// Any other selector widens each byte to the unit of the same value (ISO 8859-1).

// The unit for an 8-bit character in the given code page.
char16_t widenChar(unsigned char byte, int codePage);

class plinth_string {
 public:
  static constexpr std::size_t inlineUnits = 128;  // 127 units and the terminator
  // `erase(0, eraseAll)` clears a string; `erase(2, eraseAll)` cuts it to two units.
  static constexpr std::size_t eraseAll = 0x7FFFFFFF;

  plinth_string();
  explicit plinth_string(const char16_t* zeroTerminated);
  plinth_string(const plinth_string& other);
  plinth_string& operator=(const plinth_string& other);
  ~plinth_string();

  // A null text or a count of 0 makes the string empty.
  plinth_string& assign(const char16_t* units, std::size_t count);
  plinth_string& assign(const char16_t* zeroTerminated);
  plinth_string& assign(const plinth_string& other);
  // Empties the string, then appendNarrow.
  plinth_string& assignNarrow(const char* zeroTerminated, int codePage);

  // A null text or a count of 0 appends nothing. The text may lie inside this string.
  plinth_string& append(const char16_t* units, std::size_t count);
  plinth_string& append(const char16_t* zeroTerminated);
  plinth_string& append(const plinth_string& other);
  plinth_string& appendChar(char16_t unit);
  plinth_string& appendRepeated(std::size_t count, char16_t unit);
  // Appends each byte widened by widenChar; null appends nothing. On allocation failure the units
  // appended before the failing byte stay.
  plinth_string& appendNarrow(const char* zeroTerminated, int codePage);

  // Removes `count` units from `index`; an index at or past the end changes nothing. The buffer
  // never changes.
  plinth_string& erase(std::size_t index, std::size_t count);
  // Makes the buffer hold at least n units, keeping the text.
  void reserve(std::size_t n);
  // a to z become A to Z; every other unit stays.
  plinth_string& toUpperAscii();

  std::u16string_view view() const { return {text, length}; }

  char16_t inlineBuffer[inlineUnits];
  char16_t* text;        // inlineBuffer or heapBlock; never null; text[length] is 0
  std::size_t length;    // units before the terminator
  char16_t* heapBlock;   // owned; null while inlineBuffer is in use
  std::size_t capacity;  // 0 while inline; else units the block holds before its terminator
};

}  // namespace plinth
