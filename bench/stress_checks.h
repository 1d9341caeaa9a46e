// What the stress suite checks a receiver's standard output against. Each check is fed the output
// as it comes, either one piece at a time (one write of the receiver, when the output keeps writes
// apart) or as a byte stream, and keeps only counts and positions, never the output itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bench/lines.h"

namespace farspeak::bench {

// The line length of every self-checking line the suite sends.
inline constexpr std::size_t stressLine = 100;

// Client numbers with a meaning of their own. The probe and the last client of a run send lines
// whose sequence number is their send time in microseconds; so do clients numbered from
// firstTimedClient, whose lines are timed too.
inline constexpr std::uint32_t probeClient = 99999;
inline constexpr std::uint32_t finalClient = 99998;
inline constexpr std::uint32_t firstTimedClient = 90000;
inline constexpr std::uint32_t clientNumbers = 100000;

// Line `sequence` of `client`, stressLine bytes long.
std::string stressLineText(std::uint32_t client, std::uint64_t sequence);

// Whether a piece is one whole line of the probe or the final client: a scenario whose other
// clients send anything at all routes these to a LineSink first.
bool isReservedLine(std::string_view piece);

// Sorts self-checking lines as bench/lines.h does and adds what the stress scenarios need: lines
// cut short by a disconnect (written at once as a piece of their own, without a line feed), and
// the delay of timed lines from their send time to the read that brought them.
class LineSink {
 public:
  // `epoch`: the monotonic time in seconds that timed sequence numbers count from.
  explicit LineSink(double epoch);

  // One write of the receiver, read at `seconds`. A piece without a line feed is the start of a
  // line that its client stopped sending in the middle of.
  void feedPiece(std::string_view piece, double seconds);
  // Any run of output bytes, cut anywhere.
  void feedStream(std::string_view bytes, double seconds);
  void finish() { checker_.finish(); }

  // Intact lines of clients other than the probe and the final client.
  std::uint64_t intact() const { return intact_; }
  std::uint64_t mixed() const { return checker_.mixed(); }
  std::uint64_t reordered() const { return checker_.reordered(); }
  std::uint64_t probeLines() const { return probeLines_; }
  double worstProbeDelay() const { return worstProbeDelay_; }  // seconds
  std::uint64_t timedLines() const { return timedLines_; }
  double worstTimedDelay() const { return worstTimedDelay_; }
  bool finalLineSeen() const { return finalLineSeen_; }
  // Pieces without a line feed: those that match the start of the line their header names, and
  // the bytes of those that do not.
  std::uint64_t partialPieces() const { return partialPieces_; }
  std::uint64_t partialBytes() const { return partialBytes_; }
  std::uint64_t badPartialBytes() const { return badPartialBytes_; }

 private:
  void onIntact(std::uint32_t client, std::uint64_t sequence);
  void checkPartial(std::string_view piece);

  double epoch_;
  double now_ = 0.0;
  LineChecker checker_;
  std::uint64_t intact_ = 0;
  std::uint64_t probeLines_ = 0;
  double worstProbeDelay_ = 0.0;
  std::uint64_t timedLines_ = 0;
  double worstTimedDelay_ = 0.0;
  bool finalLineSeen_ = false;
  std::uint64_t partialPieces_ = 0;
  std::uint64_t partialBytes_ = 0;
  std::uint64_t badPartialBytes_ = 0;
};

// The receiver's escape: control bytes other than CR and LF become a backslash and three decimal
// digits; every other byte stays as it is.
std::string escaped(std::string_view bytes);

// Compares pieces, in order, with one expected text.
class ExactText {
 public:
  explicit ExactText(std::string expected) : expected_(std::move(expected)) {}

  void feed(std::string_view piece);
  // The bytes that matched so far, and the bytes that did not (a wrong byte, or more than was
  // expected).
  std::uint64_t matched() const { return matched_; }
  std::uint64_t wrong() const { return wrong_; }
  bool complete() const { return wrong_ == 0 && matched_ == expected_.size(); }

 private:
  std::string expected_;
  std::uint64_t matched_ = 0;
  std::uint64_t wrong_ = 0;
};

// An endless run of bytes from 128 to 255 (no line feed, nothing to escape) that a checker can
// regenerate instead of keeping what was sent.
class HighBytes {
 public:
  unsigned char next() {
    state_ ^= state_ << 13;  // xorshift64
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return static_cast<unsigned char>(0x80 | (state_ >> 32));
  }
  void fill(unsigned char* out, std::size_t count) {
    for (std::size_t index = 0; index < count; ++index)
      out[index] = next();
  }

 private:
  std::uint64_t state_ = 0x2545F4914F6CDD1Du;
};

inline bool isHighByte(std::string_view piece) {
  return !piece.empty() && static_cast<unsigned char>(piece[0]) >= 0x80;
}

// Checks pieces of a HighBytes run, in order.
class HighByteSink {
 public:
  void feed(std::string_view piece);
  std::uint64_t matched() const { return matched_; }
  std::uint64_t wrong() const { return wrong_; }
  std::size_t pieces() const { return pieces_; }
  std::size_t largestPiece() const { return largestPiece_; }

 private:
  HighBytes expected_;
  std::uint64_t matched_ = 0;
  std::uint64_t wrong_ = 0;
  std::size_t pieces_ = 0;
  std::size_t largestPiece_ = 0;
};

// Accounts for several clients' texts in the pieces a receiver wrote, when the pieces of
// different clients interleave and name no client. The texts are random, so a piece of
// `locatedPiece` bytes or more is found in one client's text only, at one place: such pieces must
// come in the order of their places, without overlap. Shorter pieces (a client's first byte, the
// last bytes of a line) could belong to many clients; together they must hold exactly the bytes
// that the located pieces leave over. Nothing is guessed, so a correct output always passes; the
// one fault it cannot see is short pieces of one client swapped among themselves.
class PieceReassembler {
 public:
  static constexpr std::size_t locatedPiece = 5;

  explicit PieceReassembler(std::vector<std::string> texts);

  void feed(std::string_view piece);
  // The output has ended: sets the figures below.
  void finish();

  // Bytes of located pieces in their place, and of short pieces.
  std::uint64_t placedBytes() const { return placedBytes_; }
  std::uint64_t shortBytes() const { return shortBytes_; }
  // Bytes that do not add up: long pieces found nowhere, out of order or twice, and the
  // difference between the bytes left over and the bytes of short pieces. Lost, doubled,
  // reordered and changed bytes all end up here.
  std::uint64_t unplacedBytes() const { return unplacedBytes_; }
  // Clients none of whose located pieces was out of order.
  std::size_t orderlyClients() const { return orderlyClients_; }

 private:
  struct Located {
    std::size_t at = 0;
    std::size_t size = 0;
  };

  static std::uint64_t keyOf(std::string_view bytes);

  std::vector<std::string> texts_;
  // Where each run of locatedPiece bytes starts: client and place, by the run's bytes.
  std::unordered_map<std::uint64_t, std::vector<std::pair<std::uint32_t, std::uint32_t>>> starts_;
  std::vector<std::vector<Located>> located_;  // per client, in the order the pieces came
  std::vector<std::uint64_t> shortCounts_;     // per byte value, in short pieces
  std::uint64_t placedBytes_ = 0;
  std::uint64_t shortBytes_ = 0;
  std::uint64_t unplacedBytes_ = 0;
  std::size_t orderlyClients_ = 0;
};

}  // namespace farspeak::bench
