#include "bench/stress_checks.h"

#include <algorithm>
#include <charconv>

#include "tests/support/escape_model.h"

namespace farspeak::bench {
namespace {

constexpr std::size_t headerLength = 17;  // "ccccc ssssssssss "
constexpr std::string_view tagStart = "[127.0.0.1:";
// A tagged output line at its longest: tag, mark, and a piece of 64 KiB.
constexpr std::size_t longestTaggedLine = 32 + 65536;

bool readNumber(std::string_view text, std::uint64_t& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::string stressLineText(std::uint32_t client, std::uint64_t sequence) {
  std::string text(stressLine, '\0');
  writeLine(client, sequence, stressLine, text.data());
  return text;
}

bool isReservedLine(std::string_view text) {
  return text.size() + 1 == stressLine &&
         (text.starts_with("99999 ") || text.starts_with("99998 "));
}

void LineSplitter::keep(std::string_view bytes) {
  const std::size_t room = longest_ + 1 - std::min(partial_.size(), longest_ + 1);
  partial_.append(bytes.substr(0, room));
}

LineSink::LineSink(double epoch)
    : epoch_(epoch),
      splitter_(stressLine),
      checker_(clientNumbers, stressLine, [this](std::uint32_t client, std::uint64_t sequence) {
        onIntact(client, sequence);
      }) {}

void LineSink::feedStream(std::string_view bytes, double seconds) {
  now_ = seconds;
  splitter_.feed(bytes, [this](std::string_view text) { sortLine(text); });
}

void LineSink::feedLine(std::string_view text, double seconds) {
  now_ = seconds;
  sortLine(text);
}

void LineSink::finish() {
  if (splitter_.pending())
    ++badLines_;
  checker_.finish();
}

void LineSink::sortLine(std::string_view text) {
  if (text.size() + 1 >= stressLine) {
    checker_.feed(text.data(), text.size());
    checker_.feed("\n", 1);
    return;
  }
  std::uint64_t client = 0;
  std::uint64_t sequence = 0;
  const bool cut = text.size() >= headerLength && readNumber(text.substr(0, 5), client) &&
                   client < clientNumbers && readNumber(text.substr(6, 10), sequence) &&
                   stressLineText(static_cast<std::uint32_t>(client), sequence).starts_with(text);
  if (cut) {
    ++cutLines_;
    cutBytes_ += text.size();
  } else {
    ++badLines_;
  }
}

void LineSink::onIntact(std::uint32_t client, std::uint64_t sequence) {
  const double delay = now_ - (epoch_ + static_cast<double>(sequence) / 1e6);
  if (client == probeClient) {
    ++probeLines_;
    worstProbeDelay_ = std::max(worstProbeDelay_, delay);
  } else if (client == finalClient) {
    finalLineSeen_ = true;
  } else {
    ++intact_;
    if (client >= firstTimedClient) {
      ++timedLines_;
      worstTimedDelay_ = std::max(worstTimedDelay_, delay);
    } else {
      std::uint64_t& next = nextSequence_[client];
      skips_ += sequence != next ? 1 : 0;
      next = sequence + 1;
    }
  }
}

std::string escaped(std::string_view bytes, bool prefixed) {
  std::string text;
  text.reserve(bytes.size());
  test_support::appendEscaped(text, bytes, prefixed);
  return text;
}

void ExactText::feed(std::string_view piece) {
  const std::size_t comparable = std::min<std::size_t>(piece.size(), expected_.size() - matched_);
  std::size_t same = 0;
  while (same < comparable && piece[same] == expected_[matched_ + same])
    ++same;
  matched_ += same;
  wrong_ += piece.size() - same;
}

void HighByteSink::feed(std::string_view piece) {
  ++pieces_;
  largestPiece_ = std::max(largestPiece_, piece.size());
  for (const char byte : piece) {
    // Once a byte is wrong the run is out of step: every later byte counts as wrong too.
    if (wrong_ == 0 && static_cast<unsigned char>(byte) == expected_.next())
      ++matched_;
    else
      ++wrong_;
  }
}

TaggedLines::TaggedLines(Sink sink) : sink_(std::move(sink)), splitter_(longestTaggedLine) {}

void TaggedLines::feed(std::string_view bytes, double seconds) {
  splitter_.feed(bytes, [&](std::string_view line) { parse(line, seconds); });
}

void TaggedLines::finish() {
  if (splitter_.pending())
    ++malformed_;
}

void TaggedLines::parse(std::string_view line, double seconds) {
  std::uint64_t port = 0;
  const std::size_t tagEnd = line.substr(0, tagStart.size() + 7).find("] ");
  if (line.size() > longestTaggedLine || !line.starts_with(tagStart) ||
      tagEnd == std::string_view::npos ||
      !readNumber(line.substr(tagStart.size(), tagEnd - tagStart.size()), port) || port == 0 ||
      port > 65535) {
    ++malformed_;
    return;
  }
  TaggedLine tagged{static_cast<std::uint16_t>(port), false, line.substr(tagEnd + 2)};
  if (tagged.text.starts_with(continuationMark)) {
    tagged.continued = true;
    tagged.text.remove_prefix(continuationMark.size());
  }
  sink_(tagged, seconds);
}

void ClientTexts::expect(std::uint16_t port, std::string_view bytes) {
  std::string text = escaped(bytes, true);
  if (!text.empty() && text.back() != '\n')
    text += '\n';
  byPort_[port] = clients_.size();
  clients_.emplace_back(std::move(text));
}

bool ClientTexts::feed(const TaggedLine& line, double seconds) {
  const auto found = byPort_.find(line.port);
  if (found == byPort_.end())
    return false;
  Client& client = clients_[found->second];
  if (client.pieces > 0 && line.continued) {
    ++continuations_;
    // Its previous piece left the line unfinished: a piece due by time, not by its line feed.
    if (client.pieces > 1) {
      shortestWaitBeforeCut_ =
          std::fmin(shortestWaitBeforeCut_, client.previous - client.beforePrevious);
    }
  } else if (client.pieces > 0) {
    client.text.feed("\n");  // the line feed that ended its previous piece was its own
  } else if (line.continued) {
    client.text.feed(continuationMark);
  }
  client.text.feed(line.text);
  client.beforePrevious = client.previous;
  client.previous = seconds;
  ++client.pieces;
  ++pieces_;
  return true;
}

std::size_t ClientTexts::completeClients() const {
  return static_cast<std::size_t>(
      std::count_if(clients_.begin(), clients_.end(), [](const Client& client) {
        return client.text.wrong() == 0 && client.done() == client.text.size();
      }));
}

std::uint64_t ClientTexts::expectedBytes() const {
  std::uint64_t bytes = 0;
  for (const Client& client : clients_)
    bytes += client.text.size();
  return bytes;
}

std::uint64_t ClientTexts::matchedBytes() const {
  std::uint64_t bytes = 0;
  for (const Client& client : clients_)
    bytes += client.done();
  return bytes;
}

std::uint64_t ClientTexts::wrongBytes() const {
  std::uint64_t bytes = 0;
  for (const Client& client : clients_)
    bytes += client.text.wrong();
  return bytes;
}

}  // namespace farspeak::bench
