#include "plinth/strings/plinth_string.h"

#include <cstdint>
#include <functional>
#include <new>
#include <string>

#include "plinth/platform/platform.h"

// Growth rules. Each growing operation leaves the buffer alone while its size check passes; the
// checks and the new capacities differ per operation on purpose, and callers size texts by them.
//
//   operation        reallocates when                          new capacity
//   appendChar       length + 2 > 127, > capacity              2 * length + 2
//   appendNarrow     as appendChar, before each byte
//   append           length + count > 127, > capacity          length + count
//   appendRepeated   length + count + 1 > 127, > capacity      2 * length + count + 128
//   reserve          n > 127, > capacity                       n
//   assign           count + 1 > 127 and count > capacity      count + 1, old text discarded

namespace plinth {
namespace {

using Traits = std::char_traits<char16_t>;

// Units inlineBuffer holds before its terminator.
constexpr std::size_t inlineLimit = plinth_string::inlineUnits - 1;

// Counts above this are refused before any size arithmetic, so that no sum in the growth rules
// can wrap around; no heap could supply such a block anyway.
constexpr std::size_t largestCount = SIZE_MAX / 8;

// The library reports heap exhaustion with this message on every platform.
class AllocationFailure : public std::bad_alloc {
 public:
  const char* what() const noexcept override { return "bad allocation"; }
};

void checkCount(std::size_t count) {
  if (count > largestCount) {
    throw AllocationFailure();
  }
}

bool needsBlock(const plinth_string& string, std::size_t units) {
  return units > inlineLimit && units > string.capacity;
}

// A block for `capacity` units and the terminator.
char16_t* newBlock(std::size_t capacity) {
  void* block = platform::services.allocate((capacity + 1) * sizeof(char16_t));
  if (block == nullptr) {
    throw AllocationFailure();
  }
  return static_cast<char16_t*>(block);
}

// Makes `block`, already filled, the string's buffer, and only then releases the previous one.
void adoptBlock(plinth_string& string, char16_t* block, std::size_t capacity) {
  if (string.heapBlock != nullptr) {
    platform::services.release(string.heapBlock);
  }
  string.heapBlock = block;
  string.text = block;
  string.capacity = capacity;
}

void growKeepingText(plinth_string& string, std::size_t capacity) {
  char16_t* block = newBlock(capacity);
  Traits::copy(block, string.text, string.length + 1);
  adoptBlock(string, block, capacity);
}

// Whether `units` points into the string's heap block, before the end of its text.
bool insideOwnBlock(const plinth_string& string, const char16_t* units) {
  if (string.heapBlock == nullptr) {
    return false;
  }
  return std::less_equal<const char16_t*>()(string.heapBlock, units) &&
         std::less<const char16_t*>()(units, string.text + string.length);
}

}  // namespace

plinth_string::plinth_string() : text(inlineBuffer), length(0), heapBlock(nullptr), capacity(0) {
  inlineBuffer[0] = 0;
}

plinth_string::plinth_string(const char16_t* zeroTerminated) : plinth_string() {
  assign(zeroTerminated);
}

plinth_string::plinth_string(const plinth_string& other) : plinth_string() {
  *this = other;
}

plinth_string& plinth_string::operator=(const plinth_string& other) {
  if (heapBlock == nullptr && other.heapBlock == nullptr) {
    // memmove semantics: this may be self-assignment.
    Traits::move(inlineBuffer, other.inlineBuffer, other.length + 1);
    length = other.length;
    return *this;
  }
  return assign(other.text, other.length);
}

plinth_string::~plinth_string() {
  if (heapBlock != nullptr) {
    platform::services.release(heapBlock);
  }
}

plinth_string& plinth_string::assign(const char16_t* units, std::size_t count) {
  if (units == nullptr) {
    count = 0;
  }
  checkCount(count);
  if (count + 1 > inlineLimit && count > capacity) {
    // The source may lie in the current block, so it is read before that block goes.
    char16_t* block = newBlock(count + 1);
    Traits::copy(block, units, count);
    adoptBlock(*this, block, count + 1);
  } else {
    Traits::move(text, units, count);
  }
  length = count;
  text[length] = 0;
  return *this;
}

plinth_string& plinth_string::assign(const char16_t* zeroTerminated) {
  return assign(zeroTerminated, zeroTerminated == nullptr ? 0 : Traits::length(zeroTerminated));
}

plinth_string& plinth_string::assign(const plinth_string& other) {
  return *this = other;
}

plinth_string& plinth_string::assignNarrow(const char* zeroTerminated, int codePage) {
  length = 0;
  text[0] = 0;
  return appendNarrow(zeroTerminated, codePage);
}

plinth_string& plinth_string::append(const char16_t* units, std::size_t count) {
  if (units == nullptr || count == 0) {
    return *this;
  }
  checkCount(count);
  if (insideOwnBlock(*this, units)) {
    // Growing would release the block the units are read from. Text in inlineBuffer needs no
    // copy: growth leaves inlineBuffer as it is.
    plinth_string copy;
    copy.assign(units, count);
    return append(copy);
  }
  if (needsBlock(*this, length + count)) {
    growKeepingText(*this, length + count);
  }
  Traits::copy(text + length, units, count);
  length += count;
  text[length] = 0;
  return *this;
}

plinth_string& plinth_string::append(const char16_t* zeroTerminated) {
  if (zeroTerminated == nullptr) {
    return *this;
  }
  return append(zeroTerminated, Traits::length(zeroTerminated));
}

plinth_string& plinth_string::append(const plinth_string& other) {
  return append(other.text, other.length);
}

plinth_string& plinth_string::appendChar(char16_t unit) {
  if (needsBlock(*this, length + 2)) {
    growKeepingText(*this, 2 * length + 2);
  }
  text[length] = unit;
  ++length;
  text[length] = 0;
  return *this;
}

plinth_string& plinth_string::appendRepeated(std::size_t count, char16_t unit) {
  if (count == 0) {
    return *this;
  }
  checkCount(count);
  if (needsBlock(*this, length + count + 1)) {
    growKeepingText(*this, 2 * length + count + 128);
  }
  Traits::assign(text + length, count, unit);
  length += count;
  text[length] = 0;
  return *this;
}

plinth_string& plinth_string::appendNarrow(const char* zeroTerminated, int codePage) {
  if (zeroTerminated == nullptr) {
    return *this;
  }
  for (const char* byte = zeroTerminated; *byte != 0; ++byte) {
    appendChar(widenChar(static_cast<unsigned char>(*byte), codePage));
  }
  return *this;
}

plinth_string& plinth_string::erase(std::size_t index, std::size_t count) {
  if (index >= length) {
    return *this;
  }
  // Compared as a difference so that a huge count cannot wrap index + count.
  if (count == eraseAll || count >= length - index) {
    length = index;
    text[length] = 0;
    return *this;
  }
  Traits::move(text + index, text + index + count, length - index - count + 1);
  length -= count;
  return *this;
}

void plinth_string::reserve(std::size_t n) {
  checkCount(n);
  if (needsBlock(*this, n)) {
    growKeepingText(*this, n);
  }
}

plinth_string& plinth_string::toUpperAscii() {
  for (std::size_t i = 0; i < length; ++i) {
    if (text[i] >= u'a' && text[i] <= u'z') {
      text[i] -= 32;
    }
  }
  return *this;
}

}  // namespace plinth
