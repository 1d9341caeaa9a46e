// The port that farspeak's banner names, for whatever starts it with -p 0 and must then find it:
// the end-to-end tests, and the bench and stress suite, which build without the library (hence a
// header alone).
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

namespace test_support {

// The port in the banner's first line, "Farspeak started on port 41877!", read from what the
// program has written to standard error so far (a warning may come before it); nothing until that
// line is there up to its "!".
inline std::optional<std::uint16_t> announcedPort(std::string_view standardError) {
  constexpr std::string_view start = "Farspeak started on port ";
  const std::size_t at = standardError.find(start);
  if (at == std::string_view::npos)
    return std::nullopt;
  const char* digits = standardError.data() + at + start.size();
  const char* end = standardError.data() + standardError.size();
  unsigned port = 0;
  const auto [stop, error] = std::from_chars(digits, end, port);
  if (error != std::errc() || stop == end || *stop != '!' || port == 0 || port > 65535)
    return std::nullopt;
  return static_cast<std::uint16_t>(port);
}

}  // namespace test_support
