// What the stress suite checks a receiver's standard output against. The output is a byte stream,
// read in runs cut anywhere; the checks take it apart into output lines, by the line feeds, and
// keep counts and positions rather than the output itself.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
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

// Whether the text of an output line (without its line feed) is one whole line of the probe or
// the final client: a scenario whose other clients send anything at all routes these to a
// LineSink first.
bool isReservedLine(std::string_view text);

// Hands output, read in runs cut anywhere, to `onLine` one line at a time, without its line feed,
// keeping the start of a line until its end comes. Of a line longer than `longest` bytes, only
// the first longest + 1 are kept: enough for the caller to reject it, without unbounded memory.
class LineSplitter {
 public:
  explicit LineSplitter(std::size_t longest) : longest_(longest) {}

  template <typename OnLine>
  void feed(std::string_view bytes, OnLine&& onLine) {
    for (std::size_t end; (end = bytes.find('\n')) != std::string_view::npos;) {
      if (partial_.empty()) {
        onLine(bytes.substr(0, end));
      } else {
        keep(bytes.substr(0, end));
        onLine(std::string_view(partial_));
        partial_.clear();
      }
      bytes.remove_prefix(end + 1);
    }
    keep(bytes);
  }
  // Whether a line has begun and not ended.
  bool pending() const { return !partial_.empty(); }

 private:
  void keep(std::string_view bytes);

  std::size_t longest_;
  std::string partial_;
};

// Sorts output lines of self-checking lines as bench/lines.h does and adds what the stress
// scenarios need: lines cut short by a disconnect (written up to the cut, the line then ended by
// the receiver), and the delay of timed lines from their send time to the read that brought them.
class LineSink {
 public:
  // `epoch`: the monotonic time in seconds that timed sequence numbers count from.
  explicit LineSink(double epoch);

  // Any run of output bytes, cut anywhere, read at `seconds`.
  void feedStream(std::string_view bytes, double seconds);
  // The text of one output line, without its line feed.
  void feedLine(std::string_view text, double seconds);
  // The output has ended: a line left unfinished counts as mixed.
  void finish();

  // Intact lines of clients other than the probe and the final client.
  std::uint64_t intact() const { return intact_; }
  // Lines that are neither intact, reordered nor cut.
  std::uint64_t mixed() const { return checker_.mixed() + badLines_; }
  std::uint64_t reordered() const { return checker_.reordered(); }
  std::uint64_t probeLines() const { return probeLines_; }
  double worstProbeDelay() const { return worstProbeDelay_; }  // seconds
  std::uint64_t timedLines() const { return timedLines_; }
  double worstTimedDelay() const { return worstTimedDelay_; }
  bool finalLineSeen() const { return finalLineSeen_; }
  // Lines shorter than whole ones that match the start of the line their header names, and their
  // bytes (without the line feed).
  std::uint64_t cutLines() const { return cutLines_; }
  std::uint64_t cutBytes() const { return cutBytes_; }
  // Intact lines of the untimed clients that do not follow their client's previous one: lines
  // sent in between never came.
  std::uint64_t skips() const { return skips_; }

 private:
  void sortLine(std::string_view text);
  void onIntact(std::uint32_t client, std::uint64_t sequence);

  double epoch_;
  double now_ = 0.0;
  LineSplitter splitter_;
  LineChecker checker_;
  std::uint64_t intact_ = 0;
  std::uint64_t probeLines_ = 0;
  double worstProbeDelay_ = 0.0;
  std::uint64_t timedLines_ = 0;
  double worstTimedDelay_ = 0.0;
  bool finalLineSeen_ = false;
  std::uint64_t cutLines_ = 0;
  std::uint64_t cutBytes_ = 0;
  std::uint64_t badLines_ = 0;
  std::uint64_t skips_ = 0;
  std::unordered_map<std::uint32_t, std::uint64_t> nextSequence_;
};

// The receiver's escape of a client's whole text (see tests/support/escape_model.h), `prefixed`
// when the output carries tags or timestamps.
std::string escaped(std::string_view bytes, bool prefixed = false);

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
  std::size_t size() const { return expected_.size(); }

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
    // Never the lead byte of a character that may be escaped (the C1 controls, and with tags the
    // separators and "…"): every byte passes unchanged.
    const auto byte = static_cast<unsigned char>(0x80 | (state_ >> 32));
    return byte == 0xC2 || byte == 0xE2 ? byte + 1 : byte;
  }
  void fill(unsigned char* out, std::size_t count) {
    for (std::size_t index = 0; index < count; ++index)
      out[index] = next();
  }

 private:
  std::uint64_t state_ = 0x2545F4914F6CDD1Du;
};

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

// The continuation mark of a tagged run (U+2026 in UTF-8).
inline constexpr std::string_view continuationMark = "\xE2\x80\xA6";

// One output line of a receiver run with --tag: "[127.0.0.1:PORT] ", the continuation mark when
// the piece continues its client's line, the piece, a line feed. Every piece starts an output
// line of its own, and holds at most one line feed, its last byte; an output line whose piece did
// not end its client's line was ended by the receiver.
struct TaggedLine {
  std::uint16_t port = 0;  // the client's
  bool continued = false;
  std::string_view text;  // the piece without mark and line feed
};

// Takes a tagged run's output, cut anywhere, apart into TaggedLines.
class TaggedLines {
 public:
  using Sink = std::function<void(const TaggedLine& line, double seconds)>;

  explicit TaggedLines(Sink sink);

  void feed(std::string_view bytes, double seconds);
  // The output has ended: a line left unfinished counts as malformed.
  void finish();
  // Output lines without a well-formed tag, or longer than any piece.
  std::uint64_t malformed() const { return malformed_; }

 private:
  void parse(std::string_view line, double seconds);

  Sink sink_;
  LineSplitter splitter_;
  std::uint64_t malformed_ = 0;
};

// Checks each client's pieces in a tagged run against what it sent: joined, the pieces must give
// its bytes escaped, with a line feed after a last line it left unfinished (which the receiver
// ends when the client goes). A piece not marked as a continuation follows a line feed of the
// client's own; a marked one takes up the client's line where its previous piece stopped. A
// client's first piece continues nothing: a mark there would be the client's own bytes.
class ClientTexts {
 public:
  // The client at `port` sent `bytes`, and will have gone when the figures are read.
  void expect(std::uint16_t port, std::string_view bytes);
  // Takes a line of a client expected here, read at `seconds`; false for any other.
  bool feed(const TaggedLine& line, double seconds);

  std::size_t clients() const { return clients_.size(); }
  // Clients whose pieces give exactly their text.
  std::size_t completeClients() const;
  std::uint64_t expectedBytes() const;
  // Bytes that matched, in order, and bytes that did not.
  std::uint64_t matchedBytes() const;
  std::uint64_t wrongBytes() const;
  std::uint64_t pieces() const { return pieces_; }
  std::uint64_t continuations() const { return continuations_; }
  // The shortest time, as read, from a client's piece to its next one where that next one left
  // the line unfinished (the piece after it continues the line); NAN while there is none.
  double shortestWaitBeforeCut() const { return shortestWaitBeforeCut_; }

 private:
  struct Client {
    explicit Client(std::string text) : text(std::move(text)) {}
    // The line feed after its last piece stands for the last byte of its text.
    std::uint64_t done() const {
      return std::min<std::uint64_t>(text.matched() + (pieces > 0 ? 1 : 0), text.size());
    }

    ExactText text;
    std::uint64_t pieces = 0;
    double previous = 0.0;  // when its last two pieces were read
    double beforePrevious = 0.0;
  };

  std::unordered_map<std::uint16_t, std::size_t> byPort_;
  std::vector<Client> clients_;
  std::uint64_t pieces_ = 0;
  std::uint64_t continuations_ = 0;
  double shortestWaitBeforeCut_ = NAN;
};

}  // namespace farspeak::bench
