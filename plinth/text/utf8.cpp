#include "plinth/text/utf8.h"

namespace plinth {

void appendUtf8(const char16_t* units, std::string& out, std::size_t count) {
  std::size_t taken = 0;
  std::size_t needed = 0;
  for (; taken < count && units[taken] != 0; ++taken) {
    const char16_t unit = units[taken];
    needed += unit < 0x80 ? 1 : unit < 0x800 ? 2 : 3;  // a pair's 4 bytes fit in its 2 x 3
  }
  if (out.capacity() < out.size() + needed + 1)
    out.reserve(out.size() + needed + 1);

  for (std::size_t i = 0; i < taken; ++i) {
    const char16_t unit = units[i];
    if (unit < 0x80) {
      out += static_cast<char>(unit);
    } else if (unit < 0x800) {
      out += static_cast<char>(0xC0 | (unit >> 6));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    } else if (isHighSurrogate(unit) && i + 1 < taken && isLowSurrogate(units[i + 1])) {
      const char32_t codePoint =
          0x10000 + ((char32_t{unit} - 0xD800) << 10) + (units[++i] - 0xDC00);
      out += static_cast<char>(0xF0 | (codePoint >> 18));
      out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (unit >> 12));
      out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    }
  }
}

}  // namespace plinth
