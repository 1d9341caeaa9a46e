// An unsigned magnitude's digits, filled from the last one into room made for exactly them: no
// reversal, and no sign, which the caller writes apart.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plinth {

// How many digits `value` has in `base` (2 to 16), and no fewer than `least`.
inline std::size_t digitCount(std::uint64_t value, unsigned base, std::size_t least = 1) {
  std::size_t count = 1;
  for (; value >= base; value /= base)
    ++count;
  return count > least ? count : least;
}

// Writes the last `count` digits of `value` in `base` at `out`, zeros on the left, capitals for
// hexadecimal.
template <typename Char>
void placeDigits(std::uint64_t value, unsigned base, Char* out, std::size_t count) {
  for (std::size_t place = count; place-- > 0; value /= base)
    out[place] = static_cast<Char>("0123456789ABCDEF"[value % base]);
}

}  // namespace plinth
