#include "bench/lines.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace farspeak::bench {
namespace {

constexpr std::size_t length = 100;

std::string line(std::uint32_t client, std::uint64_t sequence, std::size_t size = length) {
  std::string text(size, '\0');
  writeLine(client, sequence, size, text.data());
  return text;
}

TEST(LinesTest, WrittenLinesReadBackIntactHoweverTheOutputIsCut) {
  EXPECT_EQ(line(7, 42).substr(0, 17), "00007 0000000042 ");
  EXPECT_EQ(line(7, 42).back(), '\n');
  EXPECT_NE(line(7, 42).substr(17), line(7, 43).substr(17));
  EXPECT_NE(line(7, 42).substr(17), line(8, 42).substr(17));

  std::string output;
  for (std::uint64_t sequence = 0; sequence < 4; ++sequence) {
    for (std::uint32_t client = 0; client < 3; ++client)
      output += line(client, sequence);
  }
  for (std::size_t piece = 1; piece <= length + 1; ++piece) {
    std::vector<std::pair<std::uint32_t, std::uint64_t>> seen;
    LineChecker checker(3, length, [&](std::uint32_t client, std::uint64_t sequence) {
      seen.emplace_back(client, sequence);
    });
    for (std::size_t start = 0; start < output.size(); start += piece)
      checker.feed(output.data() + start, std::min(piece, output.size() - start));
    checker.finish();
    EXPECT_EQ(checker.intact(), 12u) << "pieces of " << piece;
    EXPECT_EQ(checker.mixed(), 0u);
    EXPECT_EQ(checker.missing(12), 0u);
    ASSERT_EQ(seen.size(), 12u);
    EXPECT_EQ(seen[4], std::make_pair(1u, std::uint64_t{1}));
  }
  for (const std::size_t size : {shortestLine, std::size_t{8192}}) {
    LineChecker checker(1, size);
    const std::string text = line(0, 0, size) + line(0, 1, size);
    checker.feed(text.data(), text.size());
    EXPECT_EQ(checker.intact(), 2u) << size;
  }
}

TEST(LinesTest, ALineCutAnywhereAndFinishedByAnotherClientIsMixed) {
  const std::string first = line(0, 5);
  const std::string second = line(1, 9);
  // Only a splice that gives back one of the lines byte for byte may pass: the two share their
  // first digits and the line feed.
  for (std::size_t cut = 0; cut < length; ++cut) {
    LineChecker checker(2, length);
    const std::string spliced = first.substr(0, cut) + second.substr(cut);
    checker.feed(spliced.data(), spliced.size());
    EXPECT_EQ(checker.intact(), spliced == first || spliced == second ? 1u : 0u)
        << "cut at " << cut;
  }

  // Raw chunks of two clients interleaved: a piece of one line, another line whole, the rest.
  LineChecker checker(2, length);
  const std::string output = first.substr(0, 30) + second + first.substr(30) + line(0, 6);
  checker.feed(output.data(), output.size());
  checker.finish();
  EXPECT_EQ(checker.intact(), 1u);
  EXPECT_EQ(checker.mixed(), 2u);
  EXPECT_EQ(checker.missing(3), 2u);
}

TEST(LinesTest, GapsAndLateLinesAreTold) {
  LineChecker checker(2, length);
  const std::string output = line(1, 0) + line(1, 2) + line(1, 1) + line(1, 2) + line(0, 0);
  checker.feed(output.data(), output.size());
  checker.finish();
  EXPECT_EQ(checker.intact(), 3u);
  EXPECT_EQ(checker.reordered(), 2u);  // line 1 after line 2, and line 2 again
  EXPECT_EQ(checker.mixed(), 0u);
  EXPECT_EQ(checker.missing(4), 0u);
  EXPECT_EQ(checker.missing(9), 4u);
}

TEST(LinesTest, DamagedLinesAreMixed) {
  std::string changedFiller = line(0, 0);
  changedFiller[60] = changedFiller[60] == 'a' ? 'b' : 'a';
  std::string changedSequence = line(0, 1);
  changedSequence[15] = '7';
  const std::string shortLine = line(0, 2).substr(0, 50) + "\n";
  const std::string unknownClient = line(2, 0);
  const std::string overlong = line(0, 3).substr(0, length - 1) + line(0, 4);
  const std::string emptyLine = "\n";
  for (const std::string& damaged :
       {changedFiller, changedSequence, shortLine, unknownClient, overlong, emptyLine}) {
    LineChecker checker(2, length);
    const std::string output = damaged + line(1, 0);
    checker.feed(output.data(), output.size());
    checker.finish();
    EXPECT_EQ(checker.intact(), 1u) << damaged;
    EXPECT_EQ(checker.mixed(), 1u) << damaged;
  }

  LineChecker checker(1, length);
  const std::string unfinished = line(0, 0) + line(0, 1).substr(0, 40);
  checker.feed(unfinished.data(), unfinished.size());
  EXPECT_EQ(checker.mixed(), 0u);
  checker.finish();
  EXPECT_EQ(checker.intact(), 1u);
  EXPECT_EQ(checker.mixed(), 1u);
}

}  // namespace
}  // namespace farspeak::bench
