#include "bench/stress_checks.h"

#include <algorithm>
#include <charconv>

#include "tests/support/escape_model.h"

namespace farspeak::bench {
namespace {

constexpr std::size_t headerLength = 17;  // "ccccc ssssssssss "

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

bool isReservedLine(std::string_view piece) {
  return piece.size() == stressLine && piece.back() == '\n' &&
         (piece.starts_with("99999 ") || piece.starts_with("99998 "));
}

LineSink::LineSink(double epoch)
    : epoch_(epoch),
      checker_(clientNumbers, stressLine, [this](std::uint32_t client, std::uint64_t sequence) {
        onIntact(client, sequence);
      }) {}

void LineSink::feedPiece(std::string_view piece, double seconds) {
  now_ = seconds;
  if (!piece.empty() && piece.back() == '\n')
    checker_.feed(piece.data(), piece.size());
  else
    checkPartial(piece);
}

void LineSink::feedStream(std::string_view bytes, double seconds) {
  now_ = seconds;
  checker_.feed(bytes.data(), bytes.size());
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
    }
  }
}

void LineSink::checkPartial(std::string_view piece) {
  std::uint64_t client = 0;
  std::uint64_t sequence = 0;
  const bool fits = piece.size() >= headerLength && piece.size() < stressLine &&
                    readNumber(piece.substr(0, 5), client) && client < clientNumbers &&
                    readNumber(piece.substr(6, 10), sequence) &&
                    stressLineText(static_cast<std::uint32_t>(client), sequence).starts_with(piece);
  if (fits) {
    ++partialPieces_;
    partialBytes_ += piece.size();
  } else {
    badPartialBytes_ += piece.size();
  }
}

std::string escaped(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  test_support::appendEscaped(text, bytes);
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

PieceReassembler::PieceReassembler(std::vector<std::string> texts)
    : texts_(std::move(texts)), located_(texts_.size()), shortCounts_(256, 0) {
  for (std::size_t client = 0; client < texts_.size(); ++client) {
    const std::string& text = texts_[client];
    for (std::size_t at = 0; at + locatedPiece <= text.size(); ++at) {
      starts_[keyOf(std::string_view(text).substr(at, locatedPiece))].emplace_back(
          static_cast<std::uint32_t>(client), static_cast<std::uint32_t>(at));
    }
  }
}

std::uint64_t PieceReassembler::keyOf(std::string_view bytes) {
  std::uint64_t key = 0;
  for (std::size_t index = 0; index < locatedPiece; ++index)
    key = key << 8 | static_cast<unsigned char>(bytes[index]);
  return key;
}

void PieceReassembler::feed(std::string_view piece) {
  if (piece.size() >= locatedPiece) {
    const auto starts = starts_.find(keyOf(piece));
    const std::pair<std::uint32_t, std::uint32_t>* place = nullptr;
    std::size_t places = 0;
    if (starts != starts_.end()) {
      for (const auto& start : starts->second) {
        if (texts_[start.first].compare(start.second, piece.size(), piece) == 0) {
          place = &start;
          ++places;
        }
      }
    }
    if (places == 0) {
      unplacedBytes_ += piece.size();  // in no client's text: changed, or mixed from several
      return;
    }
    if (places == 1) {
      located_[place->first].push_back({place->second, piece.size()});
      return;
    }
    // Found twice by chance: it counts with the short pieces.
  }
  shortBytes_ += piece.size();
  for (const char byte : piece)
    ++shortCounts_[static_cast<unsigned char>(byte)];
}

void PieceReassembler::finish() {
  std::vector<std::uint64_t> leftOver(256, 0);
  const auto leave = [&](const std::string& text, std::size_t from, std::size_t to) {
    for (std::size_t at = from; at < to; ++at)
      ++leftOver[static_cast<unsigned char>(text[at])];
  };
  orderlyClients_ = 0;
  for (std::size_t client = 0; client < texts_.size(); ++client) {
    const std::string& text = texts_[client];
    std::size_t covered = 0;
    bool orderly = true;
    for (const Located& piece : located_[client]) {
      if (piece.at < covered) {
        orderly = false;  // before, or over, a piece that came earlier
        unplacedBytes_ += piece.size;
        continue;
      }
      leave(text, covered, piece.at);
      placedBytes_ += piece.size;
      covered = piece.at + piece.size;
    }
    leave(text, covered, text.size());
    orderlyClients_ += orderly ? 1 : 0;
  }
  for (std::size_t value = 0; value < leftOver.size(); ++value) {
    unplacedBytes_ += leftOver[value] > shortCounts_[value] ? leftOver[value] - shortCounts_[value]
                                                            : shortCounts_[value] - leftOver[value];
  }
}

}  // namespace farspeak::bench
