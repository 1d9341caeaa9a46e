#include "bench/stress_scenarios.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <thread>

#include "bench/stress_clients.h"

namespace farspeak::bench {
namespace {

constexpr double connectLimit = 15.0;
constexpr double deliveryLimit = 30.0;  // seconds for lines already sent to come out
constexpr double sendLimit = 5.0;
constexpr double timedInterval = 0.05;  // between the lines of each timed client
constexpr double delayTarget = 0.1;     // seconds: the worst delay of a timed line
constexpr std::size_t longestPiece = 65536;

// Lines `first` to `first + count - 1` of `client`, one after the other.
std::string linesOf(std::size_t client, std::uint64_t first, std::size_t count) {
  std::string text;
  for (std::uint64_t sequence = first; sequence < first + count; ++sequence)
    text += stressLineText(static_cast<std::uint32_t>(client), sequence);
  return text;
}

bool sendText(int socket, std::string_view text) {
  return sendAll(socket, text.data(), text.size(), monotonicSeconds() + sendLimit);
}

// Intact lines of the clients that are neither timed nor reserved.
std::uint64_t untimedLines(Session& session) {
  const auto hold = session.output().hold();
  return session.lines().intact() - session.lines().timedLines();
}

std::string ofText(std::uint64_t value, std::uint64_t total) {
  return countText(value) + " of " + countText(total);
}

std::string milliseconds(double seconds) {
  return numberText(seconds * 1000.0, 1);
}

void checkTimedLines(ScenarioReport& report, Session& session, const TimedLineClients& clients) {
  waitUntil(deliveryLimit, [&] {
    const auto hold = session.output().hold();
    return session.lines().timedLines() >= clients.sent();
  });
  const auto hold = session.output().hold();
  const LineSink& lines = session.lines();
  report.check("other clients' lines intact", ofText(lines.timedLines(), clients.sent()), "all",
               clients.sent() > 0 && lines.timedLines() == clients.sent());
  report.check("other clients' lines, worst delay (ms)", milliseconds(lines.worstTimedDelay()),
               "< " + milliseconds(delayTarget), lines.worstTimedDelay() < delayTarget);
}

// Every expected client's pieces in a tagged run, once they have all come: their text exactly.
void checkClientTexts(ScenarioReport& report, Session& session, const ClientTexts& texts,
                      std::size_t clients, const std::string& label) {
  waitUntil(deliveryLimit, [&] {
    const auto hold = session.output().hold();
    return texts.matchedBytes() + texts.wrongBytes() >= texts.expectedBytes();
  });
  const auto hold = session.output().hold();
  report.check(label,
               ofText(texts.completeClients(), clients) + " clients, " +
                   ofText(texts.matchedBytes(), texts.expectedBytes()) + " bytes, " +
                   countText(texts.wrongBytes()) + " wrong",
               "all, exactly", texts.clients() == clients && texts.completeClients() == clients);
}

// Tagged, a piece that starts a line with the continuation mark reads as a continuation: the
// bytes a client sends never start a line with it. Swapping the mark's first two bytes keeps
// every byte value.
void breakLeadingMarks(std::string& bytes) {
  for (std::size_t at = 0; (at = bytes.find(continuationMark, at)) != std::string::npos; ++at) {
    if (at == 0 || bytes[at - 1] == '\n')
      std::swap(bytes[at], bytes[at + 1]);
  }
}

ScenarioReport crowd(const StressOptions& options) {
  const std::size_t clients = options.smoke ? 500 : 5000;
  constexpr std::size_t laterLines = 5;
  // The clients come and talk in waves, so that all are connected at once within a second, but
  // not all in the same 100 ms. The receiver accepts every pending connection in one pass, and
  // serves one line per client per pass: had all 5,000 connected, or sent their lines, in the same
  // 100 ms, that one pass would keep every other line waiting about as long.
  constexpr std::size_t wave = 500;
  constexpr double waveInterval = 0.1;
  constexpr double spread = 1.0;  // seconds over which the later lines go out
  ScenarioReport report("crowd", countText(clients) + " clients connect in waves of " +
                                     countText(wave) + " with a line each, then send " +
                                     std::to_string(laterLines) + " more each over " +
                                     numberText(spread, 0) + " s");
  Session session(options, OutputKind::plain);
  if (!session.start(report))
    return report;

  ClientSockets crowd;
  std::uint64_t sent = 0;
  const auto sendLines = [&](std::size_t client, std::uint64_t first, std::size_t count) {
    if (sendText(crowd.sockets[client], linesOf(client, first, count)))
      sent += count;
  };
  const double start = monotonicSeconds();
  for (std::size_t first = 0; first < clients; first += wave) {
    sleepUntil(start + waveInterval * static_cast<double>(first / wave));
    crowd.connect(session.port(), std::min(wave, clients - first), connectLimit,
                  [&](std::size_t client) { sendLines(client, 0, 1); });
  }
  report.check("clients connected", ofText(crowd.sockets.size(), clients), "all",
               crowd.sockets.size() == clients);
  const bool accepted = waitUntil(deliveryLimit, [&] {
    return session.target().reports().incoming >= crowd.sockets.size() + 1;
  });
  report.check("clients accepted", ofText(session.target().reports().incoming - 1, clients), "all",
               accepted);
  const double spreadFrom = monotonicSeconds();
  for (std::size_t client = 0; client < crowd.sockets.size(); ++client) {
    sleepUntil(spreadFrom + spread * static_cast<double>(client) / static_cast<double>(clients));
    sendLines(client, 1, laterLines);
  }
  const bool delivered = waitUntil(deliveryLimit, [&] { return untimedLines(session) >= sent; });
  report.figure("seconds from the first connect to the last line",
                numberText(monotonicSeconds() - start, 2));
  report.check("lines intact", ofText(untimedLines(session), sent), "all",
               delivered && sent == clients * (1 + laterLines));
  sleepSeconds(1.0);  // the probe, among a crowd that has gone quiet
  crowd.closeAll();
  session.finish(report, clients + 2);
  return report;
}

ScenarioReport resetStorm(const StressOptions& options) {
  const std::size_t total = options.smoke ? 400 : 3000;
  constexpr std::size_t batch = 200;
  ScenarioReport report("reset-storm", countText(total) +
                                           " connections opened and reset in batches of " +
                                           std::to_string(batch) +
                                           ": a third silent, a third after a line, a third "
                                           "in the middle of their second line");
  Session session(options, OutputKind::plain);
  if (!session.start(report))
    return report;

  std::size_t connected = 0;
  std::uint64_t wholeLines = 0;
  std::uint64_t cutLines = 0;
  std::uint64_t cutBytes = 0;
  const std::uint16_t port = session.port();
  for (std::size_t first = 0; first < total; first += batch) {
    ClientSockets storm;
    storm.connect(port, std::min(batch, total - first), connectLimit, [&](std::size_t index) {
      const std::size_t client = first + index;
      if (client % 3 == 0)
        return;  // silent
      std::string text = stressLineText(static_cast<std::uint32_t>(client), 0);
      const std::size_t cut = client % 3 == 2 ? 20 + client % 70 : 0;
      text += stressLineText(static_cast<std::uint32_t>(client), 1).substr(0, cut);
      if (sendText(storm.sockets[index], text)) {
        ++wholeLines;
        cutLines += cut > 0 ? 1 : 0;
        cutBytes += cut;
      }
    });
    connected += storm.sockets.size();
    resetAll(storm);
  }
  report.check("connections made", ofText(connected, total), "all", connected == total);
  const bool reported = waitUntil(deliveryLimit, [&] {
    const Reports reports = session.target().reports();
    return reports.incoming >= connected + 1 && reports.ended() >= connected;
  });
  const Reports reports = session.target().reports();
  report.check("connections accepted", ofText(reports.incoming - 1, connected), "all",
               reported && reports.incoming == connected + 1);
  report.check("resets reported lost", ofText(reports.lost, connected), "all",
               reports.lost == connected && reports.closed == 0);
  report.figure("read errors reported", countText(reports.readErrors));
  waitUntil(deliveryLimit, [&] {
    const auto hold = session.output().hold();
    return session.lines().intact() >= wholeLines && session.lines().cutLines() >= cutLines;
  });
  {
    const auto hold = session.output().hold();
    const LineSink& lines = session.lines();
    report.check("whole lines written", ofText(lines.intact(), wholeLines), "all",
                 lines.intact() == wholeLines);
    report.check(
        "cut lines written up to the reset, then ended",
        ofText(lines.cutLines(), cutLines) + ", " + ofText(lines.cutBytes(), cutBytes) + " bytes",
        "all, exactly", lines.cutLines() == cutLines && lines.cutBytes() == cutBytes);
  }
  session.finish(report, batch + 2);
  return report;
}

ScenarioReport randomBytes(const StressOptions& options) {
  const std::size_t clients = options.smoke ? 3 : 8;
  const std::size_t bytesEach = options.smoke ? 64 * 1024 : 256 * 1024;
  constexpr std::size_t largestSend = 4096;
  constexpr double pause = 0.6;  // longer than the receiver waits before it writes a piece
  ScenarioReport report("random-bytes", std::to_string(clients) + " clients one after another, " +
                                            countText(bytesEach / 1024) +
                                            " KiB of random bytes each (every byte value), "
                                            "sent in pieces of random size, with two pauses");
  // A fixed seed: a failure can be run again.
  std::mt19937_64 random(20240611);
  std::vector<std::string> sent(clients);
  for (std::string& bytes : sent) {
    std::vector<int> values(256);
    std::iota(values.begin(), values.end(), 0);
    std::shuffle(values.begin(), values.end(), random);
    for (const int value : values)
      bytes += static_cast<char>(value);
    while (bytes.size() < bytesEach)
      bytes += static_cast<char>(random() & 0xFF);
    breakLeadingMarks(bytes);
  }
  ClientTexts texts;
  Session session(options, OutputKind::tagged);
  if (!session.start(report,
                     [&](const TaggedLine& line, double now) { return texts.feed(line, now); }))
    return report;

  bool allSent = true;
  bool allReported = true;
  for (std::size_t client = 0; client < clients; ++client) {
    ClientSockets one;
    if (one.connect(session.port(), 1, connectLimit) != 1) {
      allSent = false;
      break;
    }
    const std::string& bytes = sent[client];
    {
      const auto hold = session.output().hold();
      texts.expect(localPort(one.sockets[0]), bytes);
    }
    const std::size_t firstPause = random() % bytes.size();
    const std::size_t secondPause = random() % bytes.size();
    for (std::size_t at = 0; at < bytes.size() && allSent;) {
      const std::size_t count =
          std::min<std::size_t>(1 + random() % largestSend, bytes.size() - at);
      allSent = sendText(one.sockets[0], std::string_view(bytes).substr(at, count));
      if ((at <= firstPause && firstPause < at + count) ||
          (at <= secondPause && secondPause < at + count)) {
        sleepSeconds(pause);
      } else if (random() % 8 == 0) {
        sleepSeconds(0.001 * static_cast<double>(random() % 3));
      }
      at += count;
    }
    one.closeAll();
    // The next client starts once this one is reported gone: one client at a time has its line
    // open, beside the probe's lines.
    allReported = allReported && waitUntil(deliveryLimit, [&] {
                    return session.target().reports().ended() >= client + 1;
                  });
  }
  report.check("clients sent all their bytes and were reported gone",
               allSent && allReported ? "yes" : "no", "yes", allSent && allReported);
  checkClientTexts(report, session, texts, clients,
                   "each client's output equals its input escaped");
  session.finish(report, 3);
  return report;
}

// Urgent data comes in the stream as an ordinary byte: here the line feed of one line, between
// two thousand lines before it and after it.
ScenarioReport urgentData(const StressOptions& options) {
  const std::size_t others = options.smoke ? 5 : 20;
  constexpr std::size_t linesAround = 2000;
  ScenarioReport report("urgent-data", "one client sends " + countText(linesAround) +
                                           " lines, a line whose line feed is TCP urgent data, " +
                                           countText(linesAround) +
                                           " more, and stays connected, while " +
                                           std::to_string(others) + " others send a line every " +
                                           milliseconds(timedInterval) + " ms");
  Session session(options, OutputKind::plain);
  if (!session.start(report))
    return report;

  TimedLineClients timed(timedInterval, session.epoch());
  timed.start(session.port(), others);
  ClientSockets urgent;
  const bool connected = urgent.connect(session.port(), 1, connectLimit) == 1;
  std::string urgentLine = linesOf(0, linesAround, 1);
  urgentLine.pop_back();
  const char lineFeed = '\n';
  const bool sent = connected &&
                    sendText(urgent.sockets[0], linesOf(0, 0, linesAround) + urgentLine) &&
                    send(urgent.sockets[0], &lineFeed, 1, MSG_OOB | MSG_NOSIGNAL) == 1 &&
                    sendText(urgent.sockets[0], linesOf(0, linesAround + 1, linesAround));
  const std::size_t lines = 2 * linesAround + 1;
  waitUntil(deliveryLimit, [&] { return untimedLines(session) >= lines; });
  report.check("its lines, the urgent one among them, intact", ofText(untimedLines(session), lines),
               "all", sent && untimedLines(session) == lines);
  sleepSeconds(1.0);  // the others go on
  timed.stop();
  checkTimedLines(report, session, timed);
  const Reports reports = session.target().reports();
  report.check("connections ended", countText(reports.ended()), "0", reports.ended() == 0);
  // Still connected: the receiver has neither closed nor reset it.
  pollfd end{connected ? urgent.sockets[0] : -1, POLLIN | POLLRDHUP, 0};
  const bool open = connected && poll(&end, 1, 0) == 0;
  report.check("its connection still open", open ? "yes" : "no", "yes", open);
  timed.close();
  urgent.closeAll();
  session.finish(report, others + 3);
  return report;
}

ScenarioReport endlessLine(const StressOptions& options) {
  const std::size_t others = options.smoke ? 5 : 20;
  const double seconds = options.smoke ? 1.5 : 5.0;
  constexpr std::uint64_t byteBudget = std::uint64_t{4} << 30;
  ScenarioReport report("endless-line", "one client streams a line without end for " +
                                            numberText(seconds, 1) + " s, while " +
                                            std::to_string(others) + " others send a line every " +
                                            milliseconds(timedInterval) + " ms");
  HighByteSink stream;
  HighByteStreamer streamer;
  // Its line never ends: every piece but the first continues it.
  std::uint64_t misplacedMarks = 0;
  Session session(options, OutputKind::tagged);
  const auto route = [&](const TaggedLine& line, double) {
    if (line.port != streamer.port())
      return false;
    misplacedMarks += line.continued == (stream.pieces() > 0) ? 0 : 1;
    stream.feed(line.text);
    return true;
  };
  if (!session.start(report, route))
    return report;

  TimedLineClients timed(timedInterval, session.epoch());
  timed.start(session.port(), others);
  const double start = monotonicSeconds();
  const bool streaming = streamer.start(session.port(), byteBudget);
  sleepSeconds(seconds);
  const long memoryWhileStreaming = session.target().peakResidentKiB();
  timed.stop();
  streamer.stop();
  const double streamed = monotonicSeconds() - start;
  const std::uint64_t sent = streamer.sent();
  waitUntil(deliveryLimit, [&] {
    const auto hold = session.output().hold();
    return stream.matched() + stream.wrong() >= sent;
  });
  {
    const auto hold = session.output().hold();
    report.figure("streamed (MB/s)", numberText(static_cast<double>(sent) / streamed / 1e6, 1) +
                                         ", " + countText(sent / 1000000) + " MB in " +
                                         countText(stream.pieces()) + " pieces");
    report.check("endless line written in order", ofText(stream.matched(), sent) + " bytes",
                 "all, exactly",
                 streaming && sent > 0 && stream.matched() == sent && stream.wrong() == 0);
    report.check("largest piece (bytes)", countText(stream.largestPiece()),
                 "<= " + countText(longestPiece), stream.largestPiece() <= longestPiece);
    report.check("continuation marks missing or misplaced", countText(misplacedMarks), "0",
                 misplacedMarks == 0);
  }
  report.figure("peak resident memory while streaming (MiB)",
                numberText(static_cast<double>(memoryWhileStreaming) / 1024.0, 1));
  checkTimedLines(report, session, timed);
  timed.close();
  session.finish(report, others + 3);
  return report;
}

ScenarioReport slowClients(const StressOptions& options) {
  const std::size_t clients = options.smoke ? 200 : 1000;
  const std::size_t linesEach = options.smoke ? 1 : 2;
  constexpr double byteInterval = 0.1;
  constexpr double earliestCut = 0.4;  // seconds
  ScenarioReport report("slow-clients", countText(clients) + " clients sending " +
                                            std::to_string(linesEach) +
                                            " lines of 10 to 25 bytes, one byte every 100 ms");
  std::mt19937_64 random(20240612);
  std::vector<std::string> texts(clients);
  std::size_t longest = 0;
  std::uint64_t totalBytes = 0;
  for (std::string& text : texts) {
    for (std::size_t line = 0; line < linesEach; ++line) {
      const std::size_t length = 10 + random() % 16;
      for (std::size_t index = 0; index < length; ++index)
        text += static_cast<char>('!' + random() % 94);  // printable: nothing to escape
      text += '\n';
    }
    longest = std::max(longest, text.size());
    totalBytes += text.size();
  }
  ClientTexts slow;
  Session session(options, OutputKind::tagged);
  if (!session.start(report,
                     [&](const TaggedLine& line, double now) { return slow.feed(line, now); }))
    return report;

  ClientSockets crowd;
  crowd.connect(session.port(), clients, connectLimit);
  {
    const auto hold = session.output().hold();
    for (std::size_t client = 0; client < crowd.sockets.size(); ++client)
      slow.expect(localPort(crowd.sockets[client]), texts[client]);
  }
  const bool accepted = waitUntil(deliveryLimit, [&] {
    return session.target().reports().incoming >= crowd.sockets.size() + 1;
  });
  report.check("clients connected and accepted", ofText(crowd.sockets.size(), clients), "all",
               accepted && crowd.sockets.size() == clients);
  // Each client's bytes go out 100 ms apart; the clients' turns are spread over those 100 ms.
  const double start = monotonicSeconds();
  std::uint64_t sent = 0;
  for (std::size_t at = 0; at < longest; ++at) {
    for (std::size_t client = 0; client < crowd.sockets.size(); ++client) {
      if (at >= texts[client].size())
        continue;
      sleepUntil(start + (static_cast<double>(at) +
                          static_cast<double>(client) / static_cast<double>(clients)) *
                             byteInterval);
      if (send(crowd.sockets[client], &texts[client][at], 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1)
        ++sent;
    }
  }
  report.figure("seconds of sending", numberText(monotonicSeconds() - start, 1));
  report.check("bytes sent", ofText(sent, totalBytes), "all", sent == totalBytes);
  crowd.closeAll();
  waitUntil(deliveryLimit, [&] { return session.target().reports().ended() >= clients; });
  checkClientTexts(report, session, slow, clients, "each client's output equals what it sent");
  {
    const auto hold = session.output().hold();
    report.figure("pieces written", countText(slow.pieces()) + ", " +
                                        countText(slow.continuations()) + " continuing a line");
    // A piece that leaves a line unfinished is due more than half a second after its first byte
    // came, which is after its client's previous piece, by its clock; what is read can be late by
    // as much as the probe may be.
    const double wait = slow.shortestWaitBeforeCut();
    report.check("shortest wait before an unfinished piece (ms)", milliseconds(wait),
                 "> " + milliseconds(earliestCut), wait > earliestCut);
  }
  const Reports reports = session.target().reports();
  report.check("reported closed", ofText(reports.closed, clients), "all",
               reports.closed == clients && reports.lost == 0);
  session.finish(report, clients + 2);
  return report;
}

ScenarioReport halfClosed(const StressOptions& options) {
  const std::size_t clients = options.smoke ? 100 : 400;
  constexpr std::size_t wholeLines = 3;
  ScenarioReport report("half-closed",
                        countText(clients) +
                            " clients send 3 lines and part of a fourth; half of them then shut "
                            "down their sending side and stay, half close at once");
  ClientTexts texts;
  Session session(options, OutputKind::tagged);
  if (!session.start(report,
                     [&](const TaggedLine& line, double now) { return texts.feed(line, now); }))
    return report;

  ClientSockets crowd;
  crowd.connect(session.port(), clients, connectLimit, [&](std::size_t client) {
    const std::size_t cut = 20 + client % 70;
    std::string text = linesOf(client, 0, wholeLines);
    text += stressLineText(static_cast<std::uint32_t>(client), wholeLines).substr(0, cut);
    {
      const auto hold = session.output().hold();
      texts.expect(localPort(crowd.sockets[client]), text);
    }
    if (!sendText(crowd.sockets[client], text))
      return;
    if (client % 2 == 0) {
      shutdown(crowd.sockets[client], SHUT_WR);
    } else {
      close(crowd.sockets[client]);
      crowd.sockets[client] = -1;
    }
  });
  report.check("clients connected", ofText(crowd.sockets.size(), clients), "all",
               crowd.sockets.size() == clients);
  waitUntil(deliveryLimit, [&] { return session.target().reports().ended() >= clients; });
  const Reports reports = session.target().reports();
  report.check("reported closed", ofText(reports.closed, clients), "all",
               reports.closed == clients && reports.lost == 0);
  // Half-closed clients hear the receiver's end once it has let them go.
  std::size_t released = 0;
  const double until = monotonicSeconds() + sendLimit;
  for (const int socket : crowd.sockets) {
    if (socket < 0)
      continue;
    pollfd end{socket, POLLIN | POLLRDHUP, 0};
    char byte = 0;
    const int wait = static_cast<int>(std::max(0.0, until - monotonicSeconds()) * 1000.0);
    if (poll(&end, 1, wait) == 1 && recv(socket, &byte, 1, MSG_DONTWAIT) == 0)
      ++released;
  }
  report.check("half-closed clients let go by the receiver", ofText(released, clients / 2), "all",
               released == clients / 2);
  checkClientTexts(report, session, texts, clients,
                   "each client's lines, its unfinished last one ended");
  {
    // Each client's bytes came at once: a line written in more than one piece was cut early.
    const auto hold = session.output().hold();
    report.check("lines written in more than one piece", countText(texts.continuations()), "0",
                 texts.continuations() == 0);
  }
  crowd.closeAll();
  session.finish(report, clients + 2);
  return report;
}

std::size_t writableSockets(const std::vector<int>& sockets) {
  std::vector<pollfd> room;
  for (const int socket : sockets)
    room.push_back(pollfd{socket, POLLOUT, 0});
  return static_cast<std::size_t>(std::max(0, poll(room.data(), room.size(), 0)));
}

ScenarioReport backpressure(const StressOptions& options) {
  constexpr std::size_t clients = 16;
  constexpr double before = 1.0;  // seconds of flow before the reader stops
  const double held = options.smoke ? 2.0 : 3.0;
  constexpr double after = 1.5;
  constexpr double cpuLimit = 20.0;  // % of a core
  ScenarioReport report("backpressure", std::to_string(clients) +
                                            " clients send lines as fast as they can; standard "
                                            "output (a pipe) is not read for " +
                                            numberText(held, 0) + " s");
  Session session(options, OutputKind::plain);
  if (!session.start(report, {}, false))
    return report;

  ClientSockets flood;
  flood.connect(session.port(), clients, connectLimit);
  waitUntil(connectLimit,
            [&] { return session.target().reports().incoming >= flood.sockets.size(); });
  StreamResult sent;
  std::thread sender([&] {
    sent = streamLines(flood.sockets, {stressLine, std::uint64_t{1} << 40, before + held + after});
  });
  sleepSeconds(before);
  session.output().pause();
  const double pausedAt = monotonicSeconds();
  const std::uint64_t readBefore = session.output().bytesRead();
  sleepSeconds(1.0);  // time for every buffer on the way to fill
  const double cpuFrom = session.target().cpuSeconds();
  const double measuredFrom = monotonicSeconds();
  sleepUntil(pausedAt + held - 0.1);
  const double cpu =
      (session.target().cpuSeconds() - cpuFrom) / (monotonicSeconds() - measuredFrom) * 100.0;
  const std::size_t writable = writableSockets(flood.sockets);
  sleepUntil(pausedAt + held);
  session.output().resume();
  const double resumedAt = monotonicSeconds();
  const bool resumed =
      waitUntil(sendLimit, [&] { return session.output().bytesRead() > readBefore; });
  const double resumeDelay = monotonicSeconds() - resumedAt;
  sender.join();

  report.check("clients that could still send while output was held",
               ofText(writable, flood.sockets.size()), "none",
               flood.sockets.size() == clients && writable == 0);
  report.check("receiver CPU while output was held (% of a core)", numberText(cpu, 1),
               "< " + numberText(cpuLimit, 0), cpu < cpuLimit);
  report.check("output went on once read again",
               resumed ? "after " + milliseconds(resumeDelay) + " ms" : "no", "yes", resumed);
  waitUntil(deliveryLimit, [&] {
    const auto hold = session.output().hold();
    return session.lines().intact() >= sent.linesSent;
  });
  {
    const auto hold = session.output().hold();
    report.figure("lines sent",
                  countText(sent.linesSent) + " (" + countText(sent.bytesSent / 1000000) + " MB)");
    report.check("lines intact", ofText(session.lines().intact(), sent.linesSent), "all",
                 sent.linesSent > 0 && session.lines().intact() == sent.linesSent);
  }
  flood.closeAll();
  session.finish(report, clients + 1);
  return report;
}

// Many clients that each leave a long line unfinished: what they hold stays within a budget, as
// the receiver holds off reading from some of them while others' pieces go out, and nothing is
// lost; once written, the memory is handed back. Over the budget every client, the probe included,
// is read a little a turn, and a pass serves thousands: its lines may wait longer than elsewhere.
// The first 1,100 end theirs with the start of a character that never comes whole: it falls due
// and goes as it stands, and holds no 64 KiB buffer, so a line sent after them all comes out whole.
ScenarioReport longLines(const StressOptions& options) {
  const std::size_t clients = options.smoke ? 2000 : 10000;
  constexpr std::size_t unfinished = 60'000;
  constexpr std::size_t unfinishedCharacters = 1100;
  const std::string characterStart = "\xE2\x80";
  constexpr double peakLimit = 150.0;  // MiB
  constexpr double idleLimit = 40.0;
  ScenarioReport report("long-lines", countText(clients) +
                                          " clients each send a line, then 60,000 bytes "
                                          "without a line feed (the first " +
                                          countText(unfinishedCharacters) +
                                          ": 65,535 bytes and the start of a character), and "
                                          "stay; then one more sends a 3,000-byte line");
  ClientTexts texts;
  Session session(options, OutputKind::tagged);
  if (!session.start(report,
                     [&](const TaggedLine& line, double now) { return texts.feed(line, now); }))
    return report;
  session.allowProbeDelay(2.0);

  ClientSockets crowd;
  crowd.connect(session.port(), clients, connectLimit);
  std::vector<std::string> pending(crowd.sockets.size());
  for (std::size_t client = 0; client < pending.size(); ++client) {
    const char letter = static_cast<char>('a' + client % 26);
    pending[client] = linesOf(client, 0, 1) + (client < unfinishedCharacters
                                                   ? std::string(65'535, letter) + characterStart
                                                   : std::string(unfinished, letter));
    const auto hold = session.output().hold();
    texts.expect(localPort(crowd.sockets[client]), pending[client]);
  }
  // In turns, without waiting on any one client: the receiver reads from some at a time.
  std::uint64_t sent = 0;
  const double until = monotonicSeconds() + deliveryLimit;
  for (bool progressed = true; monotonicSeconds() < until;) {
    if (!progressed)
      sleepSeconds(0.01);
    progressed = false;
    bool done = true;
    for (std::size_t client = 0; client < pending.size(); ++client) {
      std::string& text = pending[client];
      const ssize_t taken = text.empty() ? 0
                                         : send(crowd.sockets[client], text.data(), text.size(),
                                                MSG_NOSIGNAL | MSG_DONTWAIT);
      if (taken > 0) {
        text.erase(0, static_cast<std::size_t>(taken));
        sent += static_cast<std::uint64_t>(taken);
        progressed = true;
      }
      done = done && text.empty();
    }
    if (done)
      break;
  }
  report.check("clients connected", ofText(crowd.sockets.size(), clients), "all",
               crowd.sockets.size() == clients);
  report.check("bytes sent", countText(sent), "all",
               sent == texts.expectedBytes() - clients);  // less the line feeds the receiver adds
  ClientSockets later;
  const std::string laterLine = std::string(2999, 'L') + "\n";
  if (later.connect(session.port(), 1, connectLimit) == 1) {
    const auto hold = session.output().hold();
    texts.expect(localPort(later.sockets[0]), laterLine);
  }
  const bool laterSent = later.sockets.size() == 1 && sendText(later.sockets[0], laterLine);
  report.check("the later line sent", laterSent ? "yes" : "no", "yes", laterSent);
  checkClientTexts(report, session, texts, clients + 1,
                   "each client's line and unfinished line, and the later line");
  const double peak = static_cast<double>(session.target().peakResidentKiB()) / 1024.0;
  report.check("peak resident memory while they sent (MiB)", numberText(peak, 1),
               "<= " + numberText(peakLimit, 0), peak > 0.0 && peak <= peakLimit);
  double idle = 0.0;
  waitUntil(2.0, [&] {
    idle = static_cast<double>(session.target().residentKiB()) / 1024.0;
    return idle <= idleLimit;
  });
  report.check("resident memory once written, the clients idle (MiB)", numberText(idle, 1),
               "<= " + numberText(idleLimit, 0), idle > 0.0 && idle <= idleLimit);
  crowd.closeAll();
  later.closeAll();
  session.finish(report, clients + 3);
  return report;
}

// A stop owes what had arrived. While the receiver is held still (SIGSTOP), its clients send 60 KB
// each and 100 more connect and send a line, waiting in the listener's queue; then one SIGTERM.
// Everything is written, at a standard output slower than the first three seconds need. Then a
// client that never stops sending, with standard output read at 2 MB/s: the stop ends within
// 10 s (what the system held at the request, at most 6 MB by default, then goes out), with every
// line up to there.
ScenarioReport stopAfterSending(const StressOptions& options) {
  const std::size_t clients = options.smoke ? 600 : 6000;
  constexpr std::size_t queued = 100;
  constexpr std::uint64_t perClient = 60'000;
  const double readRate = options.smoke ? 10e6 : 60e6;  // bytes a second: more than 3 s
  constexpr double slowRate = 2e6;
  constexpr double slowStopLimit = 10.0;
  ScenarioReport report("stop", countText(clients) + " clients send 60 KB each and " +
                                    countText(queued) +
                                    " more connect and send a line while the receiver is held "
                                    "still, then one SIGTERM, standard output read at " +
                                    countText(static_cast<std::uint64_t>(readRate / 1e6)) +
                                    " MB/s; then one client sending without end, standard output "
                                    "read at 2 MB/s, and one SIGTERM");
  {
    // Tagged, so that each client's text is checked whole: over the memory budget, a client whose
    // reading is held off has its unfinished line written in pieces by the half-second rule.
    ClientTexts texts;
    Session session(options, OutputKind::tagged);
    if (!session.start(
            report, [&](const TaggedLine& line, double now) { return texts.feed(line, now); },
            false))
      return report;
    session.output().limitRate(readRate);
    ClientSockets senders;
    senders.connect(session.port(), clients, connectLimit);
    waitUntil(connectLimit,
              [&] { return session.target().reports().incoming >= senders.sockets.size(); });
    session.target().pause(true);
    std::uint64_t bytesSent = 0;
    const auto send = [&](ClientSockets& group, std::size_t client, std::string text) {
      const auto hold = session.output().hold();
      texts.expect(localPort(group.sockets[client]), text);
      if (sendText(group.sockets[client], text))
        bytesSent += text.size();
    };
    for (std::size_t client = 0; client < senders.sockets.size(); ++client)
      send(senders, client, linesOf(client, 0, perClient / stressLine));
    ClientSockets waiting;
    waiting.connect(session.port(), queued, connectLimit, [&](std::size_t client) {
      send(waiting, client, linesOf(clients + client, 0, 1));
    });
    const std::uint64_t total = clients * perClient + queued * stressLine;
    report.check("bytes their systems accepted", ofText(bytesSent, total), "all",
                 bytesSent == total);
    const double stoppedAt = monotonicSeconds();
    std::string how;
    const std::optional<int> code =
        session.target().stop(&how, static_cast<double>(total) / readRate * 1.5 + 15.0);
    report.figure("seconds from the stop to the exit",
                  numberText(monotonicSeconds() - stoppedAt, 1));
    report.check("exit on SIGTERM", how, "exit code 0", code == 0);
    session.output().finish();
    {
      const auto hold = session.output().hold();
      report.check(
          "each client's text, in order",
          ofText(texts.completeClients(), clients + queued) + " clients, " +
              ofText(texts.matchedBytes(), texts.expectedBytes()) + " bytes, " +
              countText(texts.wrongBytes()) + " wrong",
          "all, exactly",
          texts.clients() == clients + queued && texts.completeClients() == clients + queued);
      report.figure("lines continued in a later piece", countText(texts.continuations()));
    }
    const bool quiet = session.target().errorText().find("still sending") == std::string::npos;
    report.check("said that clients were still sending", quiet ? "no" : "yes", "no", quiet);
  }

  Session session(options, OutputKind::plain);
  if (!session.start(report, {}, false))
    return report;
  session.output().limitRate(slowRate);
  ClientSockets sender;
  sender.connect(session.port(), 1, connectLimit);
  StreamResult sent;
  std::thread streaming([&] {
    sent = streamLines(sender.sockets, {stressLine, std::uint64_t{1} << 40, 60.0});
  });
  sleepSeconds(1.0);
  const double stoppedAt = monotonicSeconds();
  std::string how;
  const std::optional<int> code = session.target().stop(&how, 30.0);
  const double took = monotonicSeconds() - stoppedAt;
  streaming.join();
  report.check("still sending: seconds from the stop to the exit", numberText(took, 1),
               "<= " + numberText(slowStopLimit, 0), code.has_value() && took <= slowStopLimit);
  report.check("still sending: exit on SIGTERM", how, "exit code 0", code == 0);
  session.output().finish();
  const auto hold = session.output().hold();
  session.lines().finish();
  const LineSink& lines = session.lines();
  report.check(
      "still sending: lines written, in order from the first",
      countText(lines.intact()) + " of " + countText(sent.linesSent) + " sent, " +
          countText(lines.mixed()) + " mixed, " + countText(lines.skips()) + " skipped",
      "a prefix",
      lines.intact() > 0 && lines.mixed() == 0 && lines.reordered() == 0 && lines.skips() == 0);
  const std::string said = "1 client was still sending when Farspeak stopped";
  const bool saidSo = session.target().errorText().find(said) != std::string::npos;
  report.check("still sending: said so", saidSo ? "yes" : "no", "yes", saidSo);
  return report;
}

ScenarioReport descriptorLimit(const StressOptions& options) {
  constexpr int limit = 64;
  const std::size_t clients = options.smoke ? 100 : 200;
  const std::size_t wave = options.smoke ? 25 : 50;
  constexpr double cpuSeconds = 2.0;
  constexpr double cpuLimit = 20.0;  // % of a core
  ScenarioReport report("descriptor-limit", countText(clients) +
                                                " clients, each sending a line and staying, at a "
                                                "receiver limited to " +
                                                std::to_string(limit) +
                                                " open descriptors; they leave in waves of " +
                                                std::to_string(wave));
  // No probe: its lines every 100 ms would keep the receiver from pacing itself down.
  Session session(options, OutputKind::plain, limit);
  if (!session.start(report, {}, false))
    return report;

  ClientSockets crowd;
  std::uint64_t sent = 0;
  crowd.connect(session.port(), clients, connectLimit, [&](std::size_t client) {
    if (sendText(crowd.sockets[client], stressLineText(static_cast<std::uint32_t>(client), 0)))
      ++sent;
  });
  report.check("clients connected", ofText(crowd.sockets.size(), clients), "all",
               crowd.sockets.size() == clients && sent == clients);
  // The receiver has taken all it can once its count of clients stops growing.
  std::size_t heldClients = 0;
  for (const double until = monotonicSeconds() + deliveryLimit; monotonicSeconds() < until;) {
    sleepSeconds(0.5);
    const std::size_t now = session.target().reports().incoming;
    if (now == heldClients && now > 0)
      break;
    heldClients = now;
  }
  waitUntil(sendLimit, [&] { return untimedLines(session) >= heldClients; });
  report.check("clients it held at once", countText(heldClients),
               "fewer than " + countText(clients), heldClients > 0 && heldClients < clients);
  report.check("their lines written", ofText(untimedLines(session), heldClients), "all",
               untimedLines(session) == heldClients);
  sleepSeconds(1.0);  // past the half second after the last byte, when the receiver paces itself
  const double cpuFrom = session.target().cpuSeconds();
  sleepSeconds(cpuSeconds);
  const double cpu = (session.target().cpuSeconds() - cpuFrom) / cpuSeconds * 100.0;
  report.check("receiver CPU while clients wait (% of a core)", numberText(cpu, 1),
               "< " + numberText(cpuLimit, 0), cpu < cpuLimit);

  bool wavesReported = true;
  for (std::size_t first = 0; first < crowd.sockets.size(); first += wave) {
    const std::size_t last = std::min(first + wave, crowd.sockets.size());
    for (std::size_t client = first; client < last; ++client) {
      close(crowd.sockets[client]);
      crowd.sockets[client] = -1;
    }
    wavesReported = wavesReported && waitUntil(deliveryLimit, [&] {
                      return session.target().reports().closed >= last;
                    });
  }
  const Reports reports = session.target().reports();
  report.check("clients accepted and reported closed",
               ofText(reports.incoming, clients) + ", " + ofText(reports.closed, clients), "all",
               wavesReported && reports.incoming == clients && reports.closed == clients);
  waitUntil(sendLimit, [&] { return untimedLines(session) >= sent; });
  report.check("lines written", ofText(untimedLines(session), sent), "all",
               untimedLines(session) == sent);
  std::string how;
  report.check("still running", session.target().running(&how) ? "yes" : "no: " + how, "yes",
               session.target().running());
  session.finish(report, clients + 1);
  return report;
}

}  // namespace

std::vector<StressScenario> stressScenarios() {
  return {
      {"crowd", crowd},
      {"reset-storm", resetStorm},
      {"random-bytes", randomBytes},
      {"urgent-data", urgentData},
      {"endless-line", endlessLine},
      {"slow-clients", slowClients},
      {"half-closed", halfClosed},
      {"long-lines", longLines},
      {"backpressure", backpressure},
      {"stop", stopAfterSending},
      {"descriptor-limit", descriptorLimit},
  };
}

}  // namespace farspeak::bench
