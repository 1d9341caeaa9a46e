#include "receiver/json_text.h"

#include "plinth/text/utf8.h"

namespace farspeak {
namespace {

constexpr char hexDigits[] = "0123456789ABCDEF";

void appendEscape(ByteBuffer& out, char32_t codePoint) {
  const char escape[6] = {'\\',
                          'u',
                          hexDigits[codePoint >> 12 & 0xF],
                          hexDigits[codePoint >> 8 & 0xF],
                          hexDigits[codePoint >> 4 & 0xF],
                          hexDigits[codePoint & 0xF]};
  out.append({escape, sizeof escape});
}

}  // namespace

bool appendJsonText(ByteBuffer& out, std::string_view bytes) {
  bool replaced = false;
  while (!bytes.empty()) {
    const plinth::Utf8Sequence character = plinth::readUtf8(bytes);
    if (character.kind != plinth::Utf8Sequence::character) {
      out.append("\xEF\xBF\xBD");  // U+FFFD, for one byte
      replaced = true;
      bytes.remove_prefix(1);
      continue;
    }
    const char32_t codePoint = character.codePoint;
    if (codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F) || codePoint == 0x2028 ||
        codePoint == 0x2029) {
      appendEscape(out, codePoint);
    } else if (codePoint == '"' || codePoint == '\\') {
      out.append('\\');
      out.append(static_cast<unsigned char>(codePoint));
    } else {
      out.append(bytes.substr(0, character.length));
    }
    bytes.remove_prefix(character.length);
  }
  return replaced;
}

void appendBase64(ByteBuffer& out, std::string_view bytes) {
  static constexpr char alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (std::size_t at = 0; at < bytes.size(); at += 3) {
    const std::size_t count = bytes.size() - at < 3 ? bytes.size() - at : 3;
    std::uint32_t group = 0;
    for (std::size_t index = 0; index < 3; ++index) {
      group <<= 8;
      if (index < count)
        group |= static_cast<unsigned char>(bytes[at + index]);
    }
    const char quad[4] = {alphabet[group >> 18 & 0x3F], alphabet[group >> 12 & 0x3F],
                          count > 1 ? alphabet[group >> 6 & 0x3F] : '=',
                          count > 2 ? alphabet[group & 0x3F] : '='};
    out.append({quad, sizeof quad});
  }
}

}  // namespace farspeak
