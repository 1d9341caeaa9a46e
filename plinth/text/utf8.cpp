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

Utf8Sequence readUtf8(std::string_view bytes) {
  if (bytes.empty())
    return {Utf8Sequence::unfinished, 0};
  const auto lead = static_cast<unsigned char>(bytes[0]);
  if (lead < 0x80)
    return {Utf8Sequence::character, 1, lead};
  std::size_t length;
  char32_t codePoint;
  // The second byte's range rules out overlong forms, surrogates and values past U+10FFFF.
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, codePoint = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, codePoint = lead & 0x0F;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, codePoint = lead & 0x07;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    return {Utf8Sequence::invalid, 1};
  }
  for (std::size_t next = 1; next < length; ++next) {
    if (next == bytes.size())
      return {Utf8Sequence::unfinished, next};
    const auto byte = static_cast<unsigned char>(bytes[next]);
    if (byte < (next == 1 ? low : 0x80) || byte > (next == 1 ? high : 0xBF))
      return {Utf8Sequence::invalid, 1};
    codePoint = codePoint << 6 | (byte & 0x3F);
  }
  return {Utf8Sequence::character, length, codePoint};
}

void Utf8Decoder::decode(std::string_view bytes, std::u16string& out) {
  std::string joined;
  if (!unfinished_.empty()) {
    joined = unfinished_;
    joined.append(bytes);
    bytes = joined;
  }
  std::size_t at = 0;
  for (;;) {
    const Utf8Sequence sequence = readUtf8(bytes.substr(at));
    if (sequence.kind == Utf8Sequence::unfinished)
      break;
    if (sequence.kind == Utf8Sequence::invalid) {
      out += u'\uFFFD';
    } else if (sequence.codePoint < 0x10000) {
      out += static_cast<char16_t>(sequence.codePoint);
    } else {
      out += static_cast<char16_t>(0xD800 + ((sequence.codePoint - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((sequence.codePoint - 0x10000) & 0x3FF));
    }
    at += sequence.length;
  }
  unfinished_.assign(bytes.substr(at));
}

}  // namespace plinth
