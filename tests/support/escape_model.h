// The receiver's escape, written out apart from the receiver so that checks have a model to hold
// it to, a byte at a time: control bytes other than CR and LF, and the C1 controls in UTF-8
// (C2 80 to C2 9F), become a backslash and three decimal digits per byte. With prefixes, so do a CR
// not followed by LF, the line and paragraph separators (E2 80 A8, E2 80 A9), and "…" (E2 80 A6)
// where a line starts. With --ansi, a colour sequence (ESC [, digits, ';' and ':', m, 64 bytes at
// most) passes, a "…" after nothing but such sequences still starts its line, and a line in which
// one passed gets ESC [ 0 m before its line end. `bytes` start a line, each line is written whole,
// and nothing follows them.
#pragma once

#include <string>
#include <string_view>

namespace test_support {

inline void appendEscaped(std::string& out, std::string_view bytes, bool prefixed = false,
                          bool ansi = false) {
  const auto at = [&](std::size_t index) {
    return index < bytes.size() ? static_cast<unsigned char>(bytes[index]) : 0;
  };
  const auto escape = [&](unsigned char value) {
    out += '\\';
    out += static_cast<char>('0' + value / 100);
    out += static_cast<char>('0' + value / 10 % 10);
    out += static_cast<char>('0' + value % 10);
  };
  const auto isColourParameter = [](unsigned char value) {
    return (value >= '0' && value <= '9') || value == ';' || value == ':';
  };
  bool lineStart = true;  // nothing yet on this line but colour sequences
  bool coloured = false;
  for (std::size_t index = 0; index < bytes.size(); ++index) {
    const unsigned char value = at(index);
    if (ansi && value == 0x1B && at(index + 1) == '[') {
      std::size_t length = 2;
      while (index + length < bytes.size() && isColourParameter(at(index + length)))
        ++length;
      if (at(index + length) == 'm' && length < 64) {
        out.append(bytes.substr(index, length + 1));
        coloured = true;
        index += length;
        continue;
      }
    }
    if (coloured && (value == '\n' || (value == '\r' && at(index + 1) == '\n'))) {
      out += "\x1b[0m";
      coloured = false;
    }
    std::size_t escaped = 0;
    if (value < 32 && value != '\n' && value != '\r')
      escaped = 1;
    else if (value == '\r' && prefixed && at(index + 1) != '\n')
      escaped = 1;
    else if (value == 0xC2 && at(index + 1) >= 0x80 && at(index + 1) <= 0x9F)
      escaped = 2;
    else if (prefixed && value == 0xE2 && at(index + 1) == 0x80 &&
             (at(index + 2) == 0xA8 || at(index + 2) == 0xA9 ||
              (at(index + 2) == 0xA6 && lineStart)))
      escaped = 3;
    lineStart = value == '\n';
    if (escaped == 0) {
      out += static_cast<char>(value);
      continue;
    }
    for (std::size_t byte = 0; byte < escaped; ++byte)
      escape(at(index + byte));
    index += escaped - 1;
  }
  if (coloured)
    out += "\x1b[0m";
}

}  // namespace test_support
