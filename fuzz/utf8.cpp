// appendUtf8 on arbitrary UTF-16 units, read back by a strict decoder of its own: the bytes must
// decode to the units up to the first NUL or the count, with each valid surrogate pair as one
// four-byte sequence and each lone surrogate in a three-byte form; what `out` held stays in front.
// Utf8Decoder must read them back, whatever write boundary cuts them. The same units written by a
// TextWriter to a DebugDest, which converts each write on its own, must reach standard error just
// as valid: no write of the writer splits a pair.
#include "plinth/text/utf8.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "plinth/platform/platform.h"
#include "plinth/text/debug_dest.h"
#include "plinth/text/text_writer.h"

namespace {

std::string standardError;

bool captureStandardError(const void* bytes, std::size_t count) {
  standardError.append(static_cast<const char*>(bytes), count);
  return true;
}

bool isHighSurrogate(char32_t value) {
  return value >= 0xD800 && value <= 0xDBFF;
}
bool isLowSurrogate(char32_t value) {
  return value >= 0xDC00 && value <= 0xDFFF;
}

// Decodes `bytes` into UTF-16 units, refusing (by a failed check) anything but shortest forms,
// and a three-byte high surrogate right before a three-byte low one: such a pair had to be joined.
std::u16string decode(std::string_view bytes) {
  std::u16string units;
  bool afterHighSurrogate = false;
  for (std::size_t at = 0; at < bytes.size();) {
    const auto lead = static_cast<unsigned char>(bytes[at]);
    std::size_t length;
    char32_t value;
    char32_t smallest;
    if (lead < 0x80) {
      length = 1, value = lead, smallest = 0;
    } else if (lead >= 0xC0 && lead < 0xE0) {
      length = 2, value = lead & 0x1F, smallest = 0x80;
    } else if (lead >= 0xE0 && lead < 0xF0) {
      length = 3, value = lead & 0x0F, smallest = 0x800;
    } else {
      FUZZ_REQUIRE(lead >= 0xF0 && lead < 0xF8);
      length = 4, value = lead & 0x07, smallest = 0x10000;
    }
    FUZZ_REQUIRE(at + length <= bytes.size());
    for (std::size_t next = 1; next < length; ++next) {
      const auto continuation = static_cast<unsigned char>(bytes[at + next]);
      FUZZ_REQUIRE((continuation & 0xC0) == 0x80);
      value = value << 6 | (continuation & 0x3F);
    }
    FUZZ_REQUIRE(value >= smallest && value <= 0x10FFFF);
    at += length;

    FUZZ_REQUIRE(!(afterHighSurrogate && isLowSurrogate(value)));
    afterHighSurrogate = isHighSurrogate(value);
    if (value >= 0x10000) {
      units += static_cast<char16_t>(0xD800 + ((value - 0x10000) >> 10));
      units += static_cast<char16_t>(0xDC00 + ((value - 0x10000) & 0x3FF));
    } else {
      units += static_cast<char16_t>(value);
    }
  }
  return units;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string before = input.ConsumeRandomLengthString(8);
  // Units from the input, mostly near the surrogate ranges; a NUL ends them early.
  std::u16string units;
  for (std::size_t count = input.ConsumeIntegralInRange<std::size_t>(0, 200); count > 0; --count) {
    const auto choice = input.ConsumeIntegralInRange(0, 3);
    if (choice == 0)
      units += static_cast<char16_t>(0xD800 + input.ConsumeIntegralInRange(0, 0x7FF));
    else
      units += input.ConsumeIntegral<char16_t>();
  }
  // A count past the units stops at the terminator that c_str() keeps after them.
  const auto count = input.ConsumeIntegralInRange<std::size_t>(0, units.size() + 2);

  std::string out = before;
  plinth::appendUtf8(units.c_str(), out, count);

  FUZZ_REQUIRE(out.compare(0, before.size(), before) == 0);
  const std::u16string_view taken = std::u16string_view(units).substr(0, count);
  FUZZ_REQUIRE(decode(std::string_view(out).substr(before.size())) ==
               taken.substr(0, taken.find(u'\0')));

  // Utf8Decoder reads the bytes back, cut anywhere across two writes: the units again, but for each
  // lone surrogate, whose three bytes strict UTF-8 refuses one by one.
  const std::u16string_view written = taken.substr(0, taken.find(u'\0'));
  std::u16string readBack;
  for (std::size_t at = 0; at < written.size(); ++at) {
    const bool pair =
        isHighSurrogate(written[at]) && at + 1 < written.size() && isLowSurrogate(written[at + 1]);
    if (pair)
      readBack += written[at++];
    if (!pair && (isHighSurrogate(written[at]) || isLowSurrogate(written[at])))
      readBack += u"\uFFFD\uFFFD\uFFFD";
    else
      readBack += written[at];
  }
  const std::string_view encoded = std::string_view(out).substr(before.size());
  const std::size_t cut = input.ConsumeIntegralInRange<std::size_t>(0, encoded.size());
  plinth::Utf8Decoder decoder;
  std::u16string decoded;
  decoder.decode(encoded.substr(0, cut), decoded);
  decoder.decode(encoded.substr(cut), decoded);
  FUZZ_REQUIRE(decoded == readBack);

  plinth::platform::ServiceOverride<bool (*)(const void*, std::size_t)> capture(
      &plinth::platform::Services::writeStandardError, captureStandardError);
  plinth::DebugDest console;
  console.toStandardError = true;
  standardError.clear();
  plinth::TextWriter(&console).writeWideText(units.c_str());
  std::u16string lines;  // up to the first NUL, each line feed as carriage return and line feed
  for (const char16_t unit : std::u16string_view(units).substr(0, units.find(u'\0')))
    lines += unit == u'\n' ? std::u16string_view(u"\r\n") : std::u16string_view(&unit, 1);
  FUZZ_REQUIRE(decode(standardError) == lines);
  return 0;
}
