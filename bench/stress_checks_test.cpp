#include "bench/stress_checks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "bench/stress_target.h"

namespace farspeak::bench {
namespace {

TEST(StressChecksTest, EscapeMakesEveryControlByteButCrAndLfVisible) {
  std::string every;
  for (int value = 0; value < 256; ++value)
    every += static_cast<char>(value);
  const std::string text = escaped(every);
  EXPECT_EQ(text.size(), 256 + 30 * 3);  // 30 control bytes grow by three characters each
  EXPECT_EQ(text.substr(0, 8), "\\000\\001");
  EXPECT_EQ(escaped("a\tb\x1b\x1f\r\n"), "a\\009b\\027\\031\r\n");
  EXPECT_EQ(escaped("\x7f\x80\xff"), "\x7f\x80\xff");
}

TEST(StressChecksTest, ExactTextCountsWrongAndMissingBytes) {
  ExactText whole("abcdef");
  whole.feed("ab");
  whole.feed("cdef");
  EXPECT_TRUE(whole.complete());

  ExactText lost("abcdef");
  lost.feed("abd");
  lost.feed("ef");
  EXPECT_FALSE(lost.complete());
  EXPECT_EQ(lost.matched(), 2u);

  ExactText extra("abc");
  extra.feed("abcd");
  EXPECT_FALSE(extra.complete());
  EXPECT_EQ(extra.wrong(), 1u);

  ExactText short_("abc");
  short_.feed("ab");
  EXPECT_FALSE(short_.complete());
}

TEST(StressChecksTest, HighByteSinkFollowsTheRunHoweverItIsCut) {
  HighBytes source;
  std::string run(10000, '\0');
  source.fill(reinterpret_cast<unsigned char*>(run.data()), run.size());
  EXPECT_TRUE(std::all_of(run.begin(), run.end(),
                          [](char byte) { return static_cast<unsigned char>(byte) >= 0x80; }));

  HighByteSink whole;
  for (std::size_t at = 0, size = 1; at < run.size(); at += size, size = size * 3 % 4097 + 1)
    whole.feed(std::string_view(run).substr(at, size));
  EXPECT_EQ(whole.matched(), run.size());
  EXPECT_EQ(whole.wrong(), 0u);
  EXPECT_LE(whole.largestPiece(), 4097u);

  HighByteSink dropped;
  dropped.feed(std::string_view(run).substr(0, 500));
  dropped.feed(std::string_view(run).substr(501));
  EXPECT_EQ(dropped.matched(), 500u);
  EXPECT_GT(dropped.wrong(), 0u);
}

TEST(StressChecksTest, LineSinkSortsWholeCutAndReservedLines) {
  const double epoch = 100.0;
  LineSink sink(epoch);
  sink.feedPiece(stressLineText(3, 0), epoch + 1.0);
  sink.feedPiece(stressLineText(3, 1).substr(0, 40), epoch + 1.0);  // cut by a disconnect
  sink.feedPiece(stressLineText(4, 0).substr(0, 40) + "x", epoch + 1.0);
  sink.feedPiece("no header", epoch + 1.0);
  // Timed lines carry their send time in microseconds since the epoch.
  sink.feedPiece(stressLineText(probeClient, 2'000'000), epoch + 2.030);
  sink.feedPiece(stressLineText(probeClient, 3'000'000), epoch + 3.010);
  sink.feedPiece(stressLineText(firstTimedClient, 1'000'000), epoch + 1.050);
  sink.feedPiece(stressLineText(finalClient, 0), epoch + 4.0);
  sink.finish();

  EXPECT_EQ(sink.intact(), 2u);  // client 3 and the timed client
  EXPECT_EQ(sink.timedLines(), 1u);
  EXPECT_NEAR(sink.worstTimedDelay(), 0.050, 1e-6);
  EXPECT_EQ(sink.probeLines(), 2u);
  EXPECT_NEAR(sink.worstProbeDelay(), 0.030, 1e-6);
  EXPECT_TRUE(sink.finalLineSeen());
  EXPECT_EQ(sink.partialPieces(), 1u);
  EXPECT_EQ(sink.partialBytes(), 40u);
  EXPECT_EQ(sink.badPartialBytes(), 41u + 9u);
  EXPECT_EQ(sink.mixed(), 0u);

  EXPECT_TRUE(isReservedLine(stressLineText(probeClient, 5)));
  EXPECT_TRUE(isReservedLine(stressLineText(finalClient, 5)));
  EXPECT_FALSE(isReservedLine(stressLineText(3, 5)));
  EXPECT_FALSE(isReservedLine(stressLineText(probeClient, 5).substr(0, 50)));

  // From a pipe, lines come cut anywhere; a line that took in another's bytes is mixed.
  LineSink stream(epoch);
  const std::string output = stressLineText(1, 0) + stressLineText(2, 0) + stressLineText(1, 1);
  for (std::size_t at = 0; at < output.size(); at += 7)
    stream.feedStream(std::string_view(output).substr(at, 7), epoch);
  stream.feedStream(stressLineText(1, 2).substr(0, 50) + stressLineText(2, 1), epoch);
  stream.finish();
  EXPECT_EQ(stream.intact(), 3u);
  EXPECT_EQ(stream.mixed(), 1u);
}

struct Reassembled {
  std::uint64_t placed = 0;
  std::uint64_t short_ = 0;
  std::uint64_t unplaced = 0;
  std::size_t orderly = 0;
};

Reassembled reassemble(const std::vector<std::string>& texts,
                       const std::vector<std::string>& pieces) {
  PieceReassembler reassembler(texts);
  for (const std::string& piece : pieces)
    reassembler.feed(piece);
  reassembler.finish();
  return {reassembler.placedBytes(), reassembler.shortBytes(), reassembler.unplacedBytes(),
          reassembler.orderlyClients()};
}

TEST(StressChecksTest, ReassemblerCatchesLostDoubledReorderedChangedAndMixedBytes) {
  const std::vector<std::string> texts = {"h\nq7Rz\n=Kp2w!\n", "x\nM4;tb\nLv9e&\n"};
  const std::vector<std::string> pieces = {"h",     "x",      "\nq7Rz\n", "\nM4",
                                           ";tb\n", "=Kp2w!", "Lv9e&\n",  "\n"};
  const Reassembled right = reassemble(texts, pieces);
  EXPECT_EQ(right.unplaced, 0u);
  EXPECT_EQ(right.placed + right.short_, texts[0].size() + texts[1].size());
  EXPECT_EQ(right.placed, 6u + 6u + 6u);
  EXPECT_EQ(right.orderly, 2u);

  const auto changed = [&](std::size_t index, const std::string& piece) {
    std::vector<std::string> output = pieces;
    output[index] = piece;
    return reassemble(texts, output);
  };
  EXPECT_GT(changed(3, "").unplaced, 0u);             // a short piece lost
  EXPECT_GT(changed(2, "").unplaced, 0u);             // a long one lost
  EXPECT_GT(changed(5, "=Kp2W!").unplaced, 0u);       // a byte changed
  EXPECT_GT(changed(4, ";tb\n\n").unplaced, 0u);      // a byte doubled
  EXPECT_GT(changed(5, "=Kp2wv9e&\n").unplaced, 0u);  // two clients' bytes in one piece

  std::vector<std::string> doubled = pieces;
  doubled.push_back("Lv9e&\n");
  EXPECT_GT(reassemble(texts, doubled).unplaced, 0u);

  std::vector<std::string> reordered = pieces;
  std::swap(reordered[2], reordered[5]);  // client 0's two long pieces
  const Reassembled swapped = reassemble(texts, reordered);
  EXPECT_GT(swapped.unplaced, 0u);
  EXPECT_EQ(swapped.orderly, 1u);
}

// The slow clients' case at scale: many clients' texts cut into pieces of 1 to 8 bytes (a line
// feed ends a piece, the first byte comes alone), interleaved at random with each client's pieces
// in order. Short pieces could be anyone's, yet nothing may be reported missing.
TEST(StressChecksTest, ReassemblerAccountsForManyInterleavedClientsWithoutFalseAlarms) {
  for (const unsigned seed : {1u, 2u, 3u}) {
    std::mt19937 random(seed);
    constexpr std::size_t clients = 300;
    std::vector<std::string> texts(clients);
    std::vector<std::vector<std::string>> cut(clients);
    std::uint64_t total = 0;
    for (std::size_t client = 0; client < clients; ++client) {
      std::string& text = texts[client];
      for (int line = 0; line < 2; ++line) {
        const std::size_t length = 10 + random() % 16;
        for (std::size_t index = 0; index < length; ++index)
          text += static_cast<char>('!' + random() % 94);
        text += '\n';
      }
      total += text.size();
      cut[client].push_back(text.substr(0, 1));
      for (std::size_t at = 1; at < text.size();) {
        const std::size_t lineEnd = text.find('\n', at);
        const std::size_t size = std::min<std::size_t>(1 + random() % 8, lineEnd + 1 - at);
        cut[client].push_back(text.substr(at, size));
        at += size;
      }
    }
    std::vector<std::string> output;
    std::vector<std::size_t> next(clients, 0);
    std::vector<std::size_t> waiting(clients);
    std::iota(waiting.begin(), waiting.end(), 0);
    while (!waiting.empty()) {
      const std::size_t pick = random() % waiting.size();
      const std::size_t client = waiting[pick];
      output.push_back(cut[client][next[client]++]);
      if (next[client] == cut[client].size()) {
        waiting[pick] = waiting.back();
        waiting.pop_back();
      }
    }
    const Reassembled result = reassemble(texts, output);
    EXPECT_EQ(result.unplaced, 0u) << "seed " << seed;
    EXPECT_EQ(result.placed + result.short_, total) << "seed " << seed;
    EXPECT_EQ(result.orderly, clients) << "seed " << seed;
  }
}

TEST(StressChecksTest, ReportsAreToldByWhatTheySayWhateverLinesComeBetween) {
  // A warning before the banner and one among the reports; clients named by their tag.
  const std::string text =
      "Low on descriptors\r\nFarspeak started on port 52525!\r\nhostname=box\r\n"
      "host address=10.0.0.2\r\nIncoming connection from 127.0.0.1\r\n"
      "Incoming connection from [127.0.0.1:50412]\r\nSocket read error: 104\r\n"
      "Connection from 127.0.0.1 lost\r\nClients wait: no descriptor left\r\n"
      "Connection from [127.0.0.1:50412] closed\r\nIncoming connection from 127.0";
  const Reports reports = countReports(text);
  EXPECT_EQ(reports.incoming, 2u);  // the last line is still being written
  EXPECT_EQ(reports.closed, 1u);
  EXPECT_EQ(reports.lost, 1u);
  EXPECT_EQ(reports.readErrors, 1u);
  EXPECT_EQ(reports.other, 5u);  // the banner's three lines and the two warnings
  EXPECT_EQ(reports.ended(), 2u);

  EXPECT_EQ(peakResidentKiB("Name:\tfarspeak\nVmPeak:\t  20000 kB\nVmHWM:\t    5120 kB\n"), 5120);
  EXPECT_EQ(peakResidentKiB("Name:\tfarspeak\n"), -1);
}

}  // namespace
}  // namespace farspeak::bench
