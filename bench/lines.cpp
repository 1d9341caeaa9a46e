#include "bench/lines.h"

#include <cstring>

namespace farspeak::bench {
namespace {

constexpr std::size_t headerLength = 17;  // client, space, sequence, space
constexpr std::size_t clientDigits = 5;
constexpr std::size_t sequenceDigits = 10;
constexpr std::size_t fillerStarts = 65536;

// Letters and digits from a fixed-seed generator: the same text in every run of the bench.
const std::string& fillerText() {
  static const std::string text = [] {
    static constexpr char alphabet[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string letters(fillerStarts + longestLine, ' ');
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    for (char& letter : letters) {
      state ^= state << 13;  // xorshift64
      state ^= state >> 7;
      state ^= state << 17;
      letter = alphabet[state % (sizeof alphabet - 1)];
    }
    return letters;
  }();
  return text;
}

const char* fillerOf(std::uint32_t client, std::uint64_t sequence) {
  std::uint64_t mixed = sequence * 0x9E3779B97F4A7C15u ^ client * 0xC2B2AE3D27D4EB4Fu;
  mixed ^= mixed >> 29;
  return fillerText().data() + mixed % fillerStarts;
}

void writeDigits(std::uint64_t value, std::size_t width, char* out) {
  for (std::size_t place = width; place-- > 0; value /= 10)
    out[place] = static_cast<char>('0' + value % 10);
}

bool readDigits(const char* text, std::size_t width, std::uint64_t& value) {
  value = 0;
  for (std::size_t place = 0; place < width; ++place) {
    if (text[place] < '0' || text[place] > '9')
      return false;
    value = value * 10 + static_cast<std::uint64_t>(text[place] - '0');
  }
  return true;
}

}  // namespace

void writeLine(std::uint32_t client, std::uint64_t sequence, std::size_t length, char* out) {
  writeDigits(client, clientDigits, out);
  out[clientDigits] = ' ';
  writeDigits(sequence, sequenceDigits, out + clientDigits + 1);
  out[headerLength - 1] = ' ';
  std::memcpy(out + headerLength, fillerOf(client, sequence), length - headerLength - 1);
  out[length - 1] = '\n';
}

LineChecker::LineChecker(std::uint32_t clients, std::size_t lineLength, IntactLine onIntact)
    : lineLength_(lineLength), onIntact_(std::move(onIntact)), nextSequence_(clients, 0) {
  line_.reserve(lineLength);
}

void LineChecker::feed(const char* bytes, std::size_t count) {
  const char* const end = bytes + count;
  while (bytes < end) {
    const auto* lineFeed = static_cast<const char*>(std::memchr(bytes, '\n', end - bytes));
    const char* const pieceEnd = lineFeed != nullptr ? lineFeed : end;
    const std::size_t piece = static_cast<std::size_t>(pieceEnd - bytes);
    // A run longer than any line is mixed whatever follows; keeping it would only cost memory.
    if (line_.size() + piece >= lineLength_)
      overlong_ = true;
    else
      line_.append(bytes, piece);
    if (lineFeed == nullptr)
      return;
    checkLine();
    bytes = lineFeed + 1;
  }
}

void LineChecker::finish() {
  if (overlong_ || !line_.empty())
    ++mixed_;
  overlong_ = false;
  line_.clear();
}

std::uint64_t LineChecker::missing(std::uint64_t linesSent) const {
  const std::uint64_t came = intact_ + reordered_;
  return linesSent > came ? linesSent - came : 0;
}

void LineChecker::checkLine() {
  std::uint64_t client = 0;
  std::uint64_t sequence = 0;
  const char* text = line_.data();
  const bool wellFormed =
      !overlong_ && line_.size() == lineLength_ - 1 && readDigits(text, clientDigits, client) &&
      text[clientDigits] == ' ' && readDigits(text + clientDigits + 1, sequenceDigits, sequence) &&
      text[headerLength - 1] == ' ' && client < nextSequence_.size() &&
      std::memcmp(text + headerLength, fillerOf(static_cast<std::uint32_t>(client), sequence),
                  lineLength_ - headerLength - 1) == 0;
  overlong_ = false;
  line_.clear();
  if (!wellFormed) {
    ++mixed_;
    return;
  }
  if (sequence < nextSequence_[client]) {
    ++reordered_;
    return;
  }
  nextSequence_[client] = sequence + 1;
  ++intact_;
  if (onIntact_)
    onIntact_(static_cast<std::uint32_t>(client), sequence);
}

}  // namespace farspeak::bench
