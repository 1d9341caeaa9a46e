#include "plinth/text/text_dest.h"

#include <string>

namespace plinth {

TextDest& TextDest::putChars(const char16_t* units, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i)
    putChar(units[i]);
  return *this;
}

TextDest& TextDest::putString(const char16_t* zeroTerminated) {
  // One run: a destination that converts each write on its own needs a surrogate pair in one.
  if (zeroTerminated == nullptr)
    return *this;
  return putChars(zeroTerminated, std::char_traits<char16_t>::length(zeroTerminated));
}

TextDest& StringTextDest::putChar(char16_t unit) {
  target_->appendRepeated(1, unit);
  return *this;
}

TextDest& StringTextDest::putChars(const char16_t* units, std::size_t count) {
  target_->append(units, count);
  return *this;
}

TextDest& StringTextDest::putString(const char16_t* zeroTerminated) {
  target_->append(zeroTerminated);
  return *this;
}

}  // namespace plinth
