// The receiver's escape, written out apart from the receiver so that checks have a model to hold
// it to: control bytes other than CR and LF become a backslash and three decimal digits.
#pragma once

#include <string>
#include <string_view>

namespace test_support {

inline void appendEscaped(std::string& out, std::string_view bytes) {
  for (const char byte : bytes) {
    const auto value = static_cast<unsigned char>(byte);
    if (value >= 32 || value == '\n' || value == '\r') {
      out += byte;
    } else {
      out += '\\';
      out += static_cast<char>('0' + value / 100);
      out += static_cast<char>('0' + value / 10 % 10);
      out += static_cast<char>('0' + value % 10);
    }
  }
}

}  // namespace test_support
