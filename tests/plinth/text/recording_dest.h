// A destination that remembers each call it gets, for tests of what writers hand over.
#pragma once

#include <string>
#include <vector>

#include "plinth/text/text_dest.h"

namespace plinth {

class RecordingDest : public TextDest {
 public:
  TextDest& putChar(char16_t unit) override {
    calls.push_back("char:" + narrow(&unit, 1));
    return *this;
  }
  TextDest& putChars(const char16_t* units, std::size_t count) override {
    calls.push_back("chars:" + narrow(units, count));
    return *this;
  }
  TextDest& putString(const char16_t* text) override {
    calls.push_back("string:" + narrow(text, std::char_traits<char16_t>::length(text)));
    return *this;
  }

  // Everything written, as one text.
  std::u16string written;
  std::vector<std::string> calls;

 private:
  std::string narrow(const char16_t* units, std::size_t count) {
    written.append(units, count);
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
      text += units[i] < 0x80 ? char(units[i]) : '?';
    return text;
  }
};

}  // namespace plinth
