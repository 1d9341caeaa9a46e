// Text destinations: where the library's human-readable output goes, as UTF-16 units.
#pragma once

#include <cstddef>

#include "plinth/core/counted_ref.h"
#include "plinth/strings/plinth_string.h"

namespace plinth {

// A destination that takes UTF-16 text. Each write returns the destination, so writes chain.
class TextDest : public Refcountable {
 public:
  virtual ~TextDest() = default;

  // Whether the destination still accepts text.
  virtual bool isOpen() { return true; }
  virtual TextDest& putChar(char16_t unit) = 0;
  // Writes `count` units; by default one putChar each.
  virtual TextDest& putChars(const char16_t* units, std::size_t count);
  // Writes a zero-terminated text, without its terminator; a null text is empty. By default one
  // putChars of the whole text.
  virtual TextDest& putString(const char16_t* zeroTerminated);
};

// Appends everything written to a string it does not own.
class StringTextDest : public TextDest {
 public:
  explicit StringTextDest(plinth_string* target) : target_(target) {}

  TextDest& putChar(char16_t unit) override;
  TextDest& putChars(const char16_t* units, std::size_t count) override;
  TextDest& putString(const char16_t* zeroTerminated) override;  // null appends nothing

 private:
  plinth_string* target_;
};

}  // namespace plinth
