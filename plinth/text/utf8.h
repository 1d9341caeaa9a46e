#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace plinth {

inline bool isHighSurrogate(char16_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
inline bool isLowSurrogate(char16_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Appends the UTF-8 form of up to `count` UTF-16 units to `out`, stopping early at a NUL unit.
// A high surrogate followed by a low one is one four-byte sequence; a lone surrogate keeps a
// three-byte form of its own, so nothing is lost. `out` grows at most once per call.
void appendUtf8(const char16_t* units, std::string& out, std::size_t count);

// The UTF-8 sequence at the start of some bytes, read strictly (RFC 3629: shortest forms only, no
// surrogates, nothing past U+10FFFF).
struct Utf8Sequence {
  enum Kind {
    character,   // `length` bytes encode `codePoint`
    invalid,     // the first byte starts no valid sequence; `length` is 1
    unfinished,  // every byte there (`length` of them) is valid so far, but more are needed
  };
  Kind kind = invalid;
  std::size_t length = 0;
  char32_t codePoint = 0;
};
Utf8Sequence readUtf8(std::string_view bytes);

// UTF-8 into UTF-16 across writes: a sequence cut by the end of one write is finished by the next.
// Each byte of invalid UTF-8 becomes U+FFFD.
class Utf8Decoder {
 public:
  void decode(std::string_view bytes, std::u16string& out);

 private:
  std::string unfinished_;  // at most three bytes
};

}  // namespace plinth
