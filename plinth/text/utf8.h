#pragma once

#include <cstddef>
#include <string>

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

}  // namespace plinth
