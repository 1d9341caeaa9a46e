// Self-checking lines, and the checker that reads them back from a receiver's standard output.
//
// A line is `length` bytes: the client number (5 digits), a space, the sequence number (10 digits),
// a space, a filler and a line feed. The filler is a stretch of a fixed random text that starts at
// a place picked by the client and sequence numbers, so a line that took in bytes of another
// client's line, at any place but its very last bytes, no longer reads as intact.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace farspeak::bench {

inline constexpr std::size_t shortestLine = 24;
inline constexpr std::size_t longestLine = 65536;

// Writes line `sequence` of client `client` to `out`, which has room for `length` bytes
// (shortestLine to longestLine, client below 100000).
void writeLine(std::uint32_t client, std::uint64_t sequence, std::size_t length, char* out);

// Reads a receiver's output as it comes, in pieces of any size, and sorts every line into one of:
// intact (right length and content, and later than the client's previous intact line), reordered
// (intact, but not later than that), or mixed (anything else between two line feeds). Lines that
// were sent and never came back intact or reordered are missing.
class LineChecker {
 public:
  using IntactLine = std::function<void(std::uint32_t client, std::uint64_t sequence)>;

  // `onIntact` is called for every intact line as soon as its line feed has been read.
  LineChecker(std::uint32_t clients, std::size_t lineLength, IntactLine onIntact = {});

  void feed(const char* bytes, std::size_t count);
  // Ends the output: bytes after the last line feed count as one mixed line.
  void finish();

  std::uint64_t intact() const { return intact_; }
  std::uint64_t reordered() const { return reordered_; }
  std::uint64_t mixed() const { return mixed_; }
  std::uint64_t missing(std::uint64_t linesSent) const;

 private:
  void checkLine();

  std::size_t lineLength_;
  IntactLine onIntact_;
  std::vector<std::uint64_t> nextSequence_;  // per client: one past its latest intact line
  std::string line_;                         // the line being read, without its line feed
  bool overlong_ = false;                    // more bytes than a line has since the last LF
  std::uint64_t intact_ = 0;
  std::uint64_t reordered_ = 0;
  std::uint64_t mixed_ = 0;
};

}  // namespace farspeak::bench
