#include "bench/stress_checks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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
  EXPECT_EQ(escaped("\xC2\x9B[\xC2\xA0\xC2"), "\\194\\155[\xC2\xA0\xC2");  // CSI, not NBSP
  // With prefixes, nothing that splits a line for some reader, nor a mark at a line's start.
  EXPECT_EQ(escaped("a\rb\r\n\xE2\x80\xA6\xE2\x80\xA6\xE2\x80\xA8\r", true),
            "a\\013b\r\n\\226\\128\\166\xE2\x80\xA6\\226\\128\\168\\013");
  EXPECT_EQ(escaped("a\rb\xE2\x80\xA8"), "a\rb\xE2\x80\xA8");
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

// A line's text without its line feed.
std::string textOf(const std::string& line) {
  return line.substr(0, line.size() - 1);
}

TEST(StressChecksTest, LineSinkSortsWholeCutAndReservedLines) {
  const double epoch = 100.0;
  LineSink sink(epoch);
  sink.feedLine(textOf(stressLineText(3, 0)), epoch + 1.0);
  sink.feedLine(stressLineText(3, 1).substr(0, 40), epoch + 1.0);  // cut by a disconnect
  sink.feedLine(stressLineText(4, 0).substr(0, 40) + "x", epoch + 1.0);
  sink.feedLine("no header", epoch + 1.0);
  // Timed lines carry their send time in microseconds since the epoch.
  sink.feedLine(textOf(stressLineText(probeClient, 2'000'000)), epoch + 2.030);
  sink.feedLine(textOf(stressLineText(probeClient, 3'000'000)), epoch + 3.010);
  sink.feedLine(textOf(stressLineText(firstTimedClient, 1'000'000)), epoch + 1.050);
  sink.feedLine(textOf(stressLineText(finalClient, 0)), epoch + 4.0);
  sink.finish();

  EXPECT_EQ(sink.intact(), 2u);  // client 3 and the timed client
  EXPECT_EQ(sink.timedLines(), 1u);
  EXPECT_NEAR(sink.worstTimedDelay(), 0.050, 1e-6);
  EXPECT_EQ(sink.probeLines(), 2u);
  EXPECT_NEAR(sink.worstProbeDelay(), 0.030, 1e-6);
  EXPECT_TRUE(sink.finalLineSeen());
  EXPECT_EQ(sink.cutLines(), 1u);
  EXPECT_EQ(sink.cutBytes(), 40u);
  EXPECT_EQ(sink.mixed(), 2u);

  EXPECT_TRUE(isReservedLine(textOf(stressLineText(probeClient, 5))));
  EXPECT_TRUE(isReservedLine(textOf(stressLineText(finalClient, 5))));
  EXPECT_FALSE(isReservedLine(textOf(stressLineText(3, 5))));
  EXPECT_FALSE(isReservedLine(stressLineText(probeClient, 5).substr(0, 50)));

  // From a pipe, lines come cut anywhere: a cut line ended by the receiver, a line that took in
  // another's bytes, and one the output ended in the middle of.
  LineSink stream(epoch);
  const std::string output = stressLineText(1, 0) + stressLineText(2, 0) + stressLineText(1, 1) +
                             stressLineText(1, 2).substr(0, 30) + "\n" +
                             stressLineText(1, 3).substr(0, 50) + stressLineText(2, 1) +
                             stressLineText(2, 2).substr(0, 10);
  for (std::size_t at = 0; at < output.size(); at += 7)
    stream.feedStream(std::string_view(output).substr(at, 7), epoch);
  stream.finish();
  EXPECT_EQ(stream.intact(), 3u);
  EXPECT_EQ(stream.cutLines(), 1u);
  EXPECT_EQ(stream.cutBytes(), 30u);
  EXPECT_EQ(stream.mixed(), 2u);
}

// An output line of a tagged run.
std::string taggedLine(std::uint16_t port, std::string_view piece, bool continued = false) {
  return "[127.0.0.1:" + std::to_string(port) + "] " +
         std::string(continued ? continuationMark : "") + std::string(piece) + "\n";
}

struct Seen {
  std::uint16_t port;
  bool continued;
  std::string text;
  bool operator==(const Seen&) const = default;
};

TEST(StressChecksTest, TaggedLinesComeWholeHoweverTheOutputIsCut) {
  // The mark belongs to the line, not the client: "…x" after a tag reads as a continuation.
  const std::string output = taggedLine(50412, "a line\r") + taggedLine(7, "half") +
                             taggedLine(50412, "\xE2\x80\xA6x") + taggedLine(7, " done", true) +
                             "no tag\n[127.0.0.1:65536] x\n[127.0.0.1:] x\n[127.0.0.1:9]x\n" +
                             taggedLine(9, "end").substr(0, 12);
  const std::vector<Seen> expected = {
      {50412, false, "a line\r"}, {7, false, "half"}, {50412, true, "x"}, {7, true, " done"}};
  for (const std::size_t cut : {1, 5, 1000}) {
    std::vector<Seen> seen;
    TaggedLines lines([&](const TaggedLine& line, double) {
      seen.push_back({line.port, line.continued, std::string(line.text)});
    });
    for (std::size_t at = 0; at < output.size(); at += cut)
      lines.feed(std::string_view(output).substr(at, cut), 0.0);
    lines.finish();
    EXPECT_EQ(seen, expected) << "cut every " << cut;
    EXPECT_EQ(lines.malformed(), 5u) << "cut every " << cut;  // the last one unfinished
  }

  std::size_t taken = 0;
  TaggedLines overlong([&](const TaggedLine&, double) { ++taken; });
  overlong.feed(taggedLine(1, std::string(70000, 'x')), 0.0);
  overlong.feed(taggedLine(1, std::string(65536, 'x'), true), 0.0);
  EXPECT_EQ(overlong.malformed(), 1u);
  EXPECT_EQ(taken, 1u);
}

struct Texts {
  std::size_t complete = 0;
  std::uint64_t matched = 0;
  std::uint64_t expected = 0;
  std::uint64_t wrong = 0;
  std::uint64_t continuations = 0;
};

Texts checkTexts(const std::vector<std::string>& sent, const std::vector<Seen>& lines) {
  ClientTexts texts;
  for (std::size_t client = 0; client < sent.size(); ++client)
    texts.expect(static_cast<std::uint16_t>(1000 + client), sent[client]);
  for (const Seen& line : lines)
    EXPECT_TRUE(texts.feed({line.port, line.continued, line.text}, 0.0));
  EXPECT_FALSE(texts.feed({999, false, "x"}, 0.0));
  return {texts.completeClients(), texts.matchedBytes(), texts.expectedBytes(), texts.wrongBytes(),
          texts.continuations()};
}

TEST(StressChecksTest, ClientTextsCatchLostDoubledReorderedChangedAndMixedBytes) {
  // Client 1 and 2 leave their last lines unfinished: the receiver ends them when they go.
  const std::vector<std::string> sent = {"h\nq7Rz\n=Kp2w!\n", "x\nM4;tb\nLv9e&", "a\tb"};
  const std::vector<Seen> lines = {
      {1000, false, "h"},      {1001, false, "x"},       {1000, false, "q7Rz"},
      {1001, false, "M4"},     {1002, false, "a\\009b"}, {1001, true, ";tb"},
      {1000, false, "=Kp2w!"}, {1001, false, "Lv9e"},    {1001, true, "&"}};
  const Texts right = checkTexts(sent, lines);
  EXPECT_EQ(right.complete, 3u);
  EXPECT_EQ(right.wrong, 0u);
  EXPECT_EQ(right.matched, right.expected);
  EXPECT_EQ(right.expected, 14u + 14u + 7u);
  EXPECT_EQ(right.continuations, 2u);

  const auto changed = [&](std::size_t index, Seen line) {
    std::vector<Seen> output = lines;
    output[index] = std::move(line);
    return checkTexts(sent, output).complete;
  };
  EXPECT_EQ(changed(3, {1001, false, ""}), 2u);           // a piece lost
  EXPECT_EQ(changed(6, {1000, false, "=Kp2W!"}), 2u);     // a byte changed
  EXPECT_EQ(changed(8, {1001, true, "&&"}), 2u);          // a byte doubled
  EXPECT_EQ(changed(5, {1001, false, ";tb"}), 2u);        // a mark missing
  EXPECT_EQ(changed(2, {1000, true, "q7Rz"}), 2u);        // a mark too many
  EXPECT_EQ(changed(0, {1000, true, "h"}), 2u);           // a first piece marked
  EXPECT_EQ(changed(6, {1000, false, "=Kp2wv9e&"}), 2u);  // two clients' bytes in one piece

  std::vector<Seen> doubled = lines;
  doubled.push_back({1000, false, "=Kp2w!"});
  EXPECT_EQ(checkTexts(sent, doubled).complete, 2u);

  std::vector<Seen> reordered = lines;
  std::swap(reordered[2], reordered[6]);  // client 0's last two pieces
  EXPECT_EQ(checkTexts(sent, reordered).complete, 2u);
}

TEST(StressChecksTest, ClientTextsTimeOnlyThePiecesThatLeftALineUnfinished) {
  ClientTexts texts;
  texts.expect(1, "abcdef\n");
  texts.expect(2, "a\nb\nc\n");
  EXPECT_TRUE(std::isnan(texts.shortestWaitBeforeCut()));
  texts.feed({1, false, "a"}, 1.0);  // a first byte comes at once
  texts.feed({1, true, "bc"}, 1.6);
  texts.feed({1, true, "d"}, 1.9);
  EXPECT_NEAR(texts.shortestWaitBeforeCut(), 0.6, 1e-9);  // "bc", once "d" shows it unfinished
  texts.feed({1, true, "ef"}, 2.5);
  EXPECT_NEAR(texts.shortestWaitBeforeCut(), 0.3, 1e-9);  // "d"
  texts.feed({2, false, "a"}, 3.0);                       // whole lines, however close
  texts.feed({2, false, "b"}, 3.1);
  texts.feed({2, false, "c"}, 3.2);
  EXPECT_NEAR(texts.shortestWaitBeforeCut(), 0.3, 1e-9);
  EXPECT_EQ(texts.completeClients(), 2u);
}

// The slow clients' case at scale: many clients' texts cut into pieces of 1 to 8 bytes (a line
// feed ends a piece, the first byte comes alone), interleaved at random with each client's pieces
// in order, written as a tagged run writes them and read back cut anywhere.
TEST(StressChecksTest, ClientTextsFollowManyInterleavedClientsWithoutFalseAlarms) {
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
    std::string output;
    std::vector<std::size_t> next(clients, 0);
    std::vector<std::size_t> waiting(clients);
    std::iota(waiting.begin(), waiting.end(), 0);
    while (!waiting.empty()) {
      const std::size_t pick = random() % waiting.size();
      const std::size_t client = waiting[pick];
      const std::string& piece = cut[client][next[client]];
      const bool continued = next[client] > 0 && cut[client][next[client] - 1].back() != '\n';
      const std::string_view text = std::string_view(piece).substr(0, piece.find('\n'));
      output += taggedLine(static_cast<std::uint16_t>(40000 + client), text, continued);
      if (++next[client] == cut[client].size()) {
        waiting[pick] = waiting.back();
        waiting.pop_back();
      }
    }
    ClientTexts checked;
    for (std::size_t client = 0; client < clients; ++client)
      checked.expect(static_cast<std::uint16_t>(40000 + client), texts[client]);
    TaggedLines lines(
        [&](const TaggedLine& line, double) { EXPECT_TRUE(checked.feed(line, 0.0)); });
    for (std::size_t at = 0; at < output.size();) {
      const std::size_t size = 1 + random() % 200;
      lines.feed(std::string_view(output).substr(at, size), 0.0);
      at += size;
    }
    lines.finish();
    EXPECT_EQ(lines.malformed(), 0u) << "seed " << seed;
    EXPECT_EQ(checked.completeClients(), clients) << "seed " << seed;
    EXPECT_EQ(checked.matchedBytes(), total) << "seed " << seed;
    EXPECT_EQ(checked.wrongBytes(), 0u) << "seed " << seed;
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

  const std::string_view status = "Name:\tfarspeak\nVmPeak:\t  20000 kB\nVmHWM:\t    5120 kB\n";
  EXPECT_EQ(statusKiB(status, "VmHWM:"), 5120);
  EXPECT_EQ(statusKiB(status, "VmRSS:"), -1);
}

}  // namespace
}  // namespace farspeak::bench
