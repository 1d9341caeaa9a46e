#include "bench/scenarios.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <numeric>
#include <optional>

#include "bench/clients.h"
#include "bench/lines.h"
#include "bench/output_reader.h"
#include "bench/timing.h"

namespace farspeak::bench {
namespace {

// Every step has a time limit, so that a slow or stuck target costs seconds, not the run.
constexpr std::size_t shortLine = 100;
constexpr std::size_t longLine = 8192;
constexpr std::uint64_t throughputVolume = std::uint64_t{256} << 20;  // all clients together
constexpr int throughputRounds = 5;
constexpr double throughputLimit = 60.0;  // seconds from the first send to the last byte out
constexpr double drainLimit = 2.0;        // seconds for the output to catch up once sending stops
constexpr double connectLimit = 5.0;

constexpr double quietBefore = 1.0;  // the receiver paces itself down after half a second

constexpr std::size_t lightLine = 64;
constexpr std::size_t lightLines = 20;
constexpr double lightInterval = 0.3;

constexpr std::size_t mostIdleClients = 10000;
constexpr std::size_t sendingAmongIdle = 100;  // lines, 100 ms apart
constexpr double sendingInterval = 0.1;
constexpr std::size_t idleBatch = 500;  // most connections started at once while clients gather
constexpr double idleConnectLimit = 60.0;
constexpr double cpuSeconds = 3.0;
constexpr std::size_t probes = 9;
constexpr double probeGap = 0.6;

constexpr std::size_t leavingClients = 2000;
constexpr std::size_t leavingRounds = 3;
constexpr double afterLeavingLimit = 10.0;  // seconds the live client's line may take

constexpr std::size_t burstClients = 5000;
constexpr double burstLimit = 15.0;

constexpr std::size_t manyClients = 1000;
constexpr double manySeconds = 5.0;  // each client a line every 100 ms, spread evenly

constexpr std::size_t mostClients = 19000;  // the hard descriptor limit here is 20,000

// Phases alone and in the flood take turns, so that whatever else the machine does falls on both.
constexpr std::size_t floodCycles = 10;
constexpr std::size_t floodPhaseLines = 10;  // 100 ms apart
constexpr std::size_t floodUnderWay = 64;
constexpr double floodStart = 0.3;  // seconds for the flood to reach its pace
const std::string allowedSource = "127.0.0.1";
const std::string floodSource = "127.0.0.2";

bool started(const Target& target, const TargetCommand& command) {
  if (target.listening())
    return true;
  std::cerr << command.name << " did not start listening\n" << target.errorText();
  return false;
}

void checkOutputFile(int file, LineChecker& checker) {
  std::vector<char> buffer(std::size_t{1} << 20);
  off_t offset = 0;
  for (;;) {
    const ssize_t length = pread(file, buffer.data(), buffer.size(), offset);
    if (length <= 0)
      break;
    checker.feed(buffer.data(), static_cast<std::size_t>(length));
    offset += length;
  }
  checker.finish();
}

void addCheckRows(Figures& figures, std::uint64_t linesSent, const LineChecker& checker) {
  const auto count = [](std::uint64_t value) { return static_cast<double>(value); };
  figures.push_back({"lines sent", count(linesSent), 0, false, true});
  figures.push_back({"lines intact", count(checker.intact()), 0, false, true});
  figures.push_back({"lines mixed", count(checker.mixed()), 0, false, true});
  figures.push_back({"lines out of order", count(checker.reordered()), 0, false, true});
  figures.push_back({"lines missing", count(checker.missing(linesSent)), 0, false, true});
}

// Nearest rank; `sorted` is not empty.
double percentile(const std::vector<double>& sorted, double fraction) {
  const auto rank = static_cast<std::size_t>(std::ceil(fraction * sorted.size()));
  return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

// Seconds from `sentAt` to the arrival of the line of `client` numbered `sequence`, or -1 when it
// has not arrived within `limitSeconds`.
double awaitLine(const OutputReader& reader, std::uint32_t client, std::uint64_t sequence,
                 double sentAt, double limitSeconds) {
  const double until = sentAt + limitSeconds;
  for (;;) {
    for (const Arrival& arrival : reader.arrivals()) {
      if (arrival.client == client && arrival.sequence == sequence)
        return arrival.seconds - sentAt;
    }
    if (monotonicSeconds() >= until)
      return -1.0;
    sleepSeconds(0.0005);
  }
}

Figures throughput(const TargetCommand& command, std::size_t clientCount, std::size_t lineLength) {
  Target target(command, Capture::file);
  if (!started(target, command))
    return {};
  ClientSockets clients;
  clients.connect(target.port(), clientCount, connectLimit);
  target.waitAccepted(clients.sockets.size(), connectLimit);

  const StreamResult sent =
      streamLines(clients.sockets, {lineLength, throughputVolume, throughputLimit});
  // The file's size moves with every write the target makes; the last change is when it was done.
  std::uint64_t delivered = target.outputBytes();
  double lastArrival = monotonicSeconds();
  const double until = std::max(lastArrival, sent.started + throughputLimit) + drainLimit;
  while (delivered < sent.bytesSent && monotonicSeconds() < until) {
    sleepSeconds(0.0005);
    const std::uint64_t now = target.outputBytes();
    if (now != delivered) {
      delivered = now;
      lastArrival = monotonicSeconds();
    }
  }
  target.stop();
  clients.closeAll();
  if (sent.ended >= sent.started + throughputLimit) {
    std::cerr << command.name << ": sending was cut short after " << throughputLimit
              << " s; the figures are for what was sent by then\n";
  }
  if (delivered < sent.bytesSent) {
    std::cerr << command.name << ": " << sent.bytesSent - delivered
              << " bytes were still in flight when the time ran out; they count as missing\n";
  }

  LineChecker checker(static_cast<std::uint32_t>(clientCount), lineLength);
  checkOutputFile(target.output(), checker);
  const double seconds = std::max(lastArrival - sent.started, 1e-6);
  const double bytes = static_cast<double>(delivered);
  Figures figures{{"MB/s", bytes / seconds / 1e6, 2},
                  {"lines/s", bytes / static_cast<double>(lineLength) / seconds, 0},
                  {"seconds to the last byte", seconds, 2}};
  addCheckRows(figures, sent.linesSent, checker);
  return figures;
}

// CPU used by every process of the target's group from one moment to another.
struct CpuSample {
  double used = 0.0;
  double at = 0.0;
};

CpuSample cpuSample(const Target& target) {
  return {target.cpuSeconds(), monotonicSeconds()};
}

double cpuPercentSince(const Target& target, const CpuSample& from) {
  const CpuSample now = cpuSample(target);
  return (now.used - from.used) / std::max(now.at - from.at, 1e-6) * 100.0;
}

// Sends lines `first` to `first` + count - 1 of `client`, one every `interval` seconds, and returns
// when each was sent (just before its send).
std::vector<double> sendPaced(int socket, std::size_t count, std::size_t lineLength,
                              double interval, std::uint32_t client = 0, std::uint64_t first = 0) {
  std::vector<double> sentAt(count);
  std::vector<char> line(lineLength);
  const double start = monotonicSeconds();
  for (std::size_t sequence = 0; sequence < count; ++sequence) {
    sleepUntil(start + static_cast<double>(sequence) * interval);
    writeLine(client, first + sequence, lineLength, line.data());
    sentAt[sequence] = monotonicSeconds();
    sendAll(socket, line.data(), lineLength, sentAt[sequence] + connectLimit);
  }
  return sentAt;
}

// The median and 99th percentile of the delays from each line's send to its arrival, in ms, for
// the lines that `sentAt` knows (when each was sent, or NAN for a line of no interest); NAN when
// none came.
template <typename SentAt>
std::pair<double, double> delaysOf(const OutputReader& reader, SentAt sentAt) {
  std::vector<double> delays;
  for (const Arrival& arrival : reader.arrivals()) {
    if (const double sent = sentAt(arrival); sent == sent)
      delays.push_back((arrival.seconds - sent) * 1000.0);
  }
  std::sort(delays.begin(), delays.end());
  if (delays.empty())
    delays.push_back(NAN);
  return {percentile(delays, 0.5), percentile(delays, 0.99)};
}

// For delaysOf: the lines of `client` from `first` on, sent at `sentAt`.
auto linesOf(const std::vector<double>& sentAt, std::uint32_t client = 0, std::uint64_t first = 0) {
  return [&sentAt, client, first](const Arrival& arrival) {
    return arrival.client == client && arrival.sequence >= first &&
                   arrival.sequence - first < sentAt.size()
               ? sentAt[arrival.sequence - first]
               : NAN;
  };
}

void waitArrivals(const OutputReader& reader, std::size_t count) {
  const double until = monotonicSeconds() + drainLimit;
  while (reader.arrivalCount() < count && monotonicSeconds() < until)
    sleepSeconds(0.005);
}

// One client, connected and accepted, and then the quiet before a measurement: a receiver that
// paces itself down after a while without bytes has had time to.
bool connectOneQuietly(const Target& target, ClientSockets& client) {
  if (client.connect(target.port(), 1, connectLimit) != 1)
    return false;
  target.waitAccepted(1, connectLimit);
  sleepSeconds(quietBefore);
  return true;
}

Figures latency(const TargetCommand& command, std::size_t lines, double interval) {
  Target target(command, Capture::pipe);
  if (!started(target, command))
    return {};
  OutputReader reader(target.output(), 1, shortLine);
  ClientSockets client;
  if (!connectOneQuietly(target, client))
    return {};

  const std::vector<double> sentAt = sendPaced(client.sockets[0], lines, shortLine, interval);
  waitArrivals(reader, lines);
  target.stop();
  reader.finish();
  client.closeAll();

  const auto [median, slow] = delaysOf(reader, linesOf(sentAt));
  return {{"median (ms)", median, 3},
          {"99th percentile (ms)", slow, 3},
          {"lines arrived intact (of " + std::to_string(lines) + ")",
           static_cast<double>(reader.checker().intact()), 0, false}};
}

Figures light(const TargetCommand& command) {
  Target target(command, Capture::pipe);
  if (!started(target, command))
    return {};
  OutputReader reader(target.output(), 1, lightLine);
  ClientSockets client;
  if (!connectOneQuietly(target, client))
    return {};

  const CpuSample from = cpuSample(target);
  const std::vector<double> sentAt =
      sendPaced(client.sockets[0], lightLines, lightLine, lightInterval);
  sleepUntil(sentAt.front() + static_cast<double>(lightLines) * lightInterval);
  const double cpu = cpuPercentSince(target, from);
  waitArrivals(reader, lightLines);
  target.stop();
  reader.finish();
  client.closeAll();
  return {{"CPU (% of a core)", cpu, 3},
          {"lines arrived intact (of " + std::to_string(lightLines) + ")",
           static_cast<double>(reader.checker().intact()), 0, false}};
}

// Connects idle clients until `total` are accepted, or the time is up. Connections start only
// while the target's listening queue has room for them: one that overflows it may count as
// connected on our side without the target ever hearing of it, since an idle client never sends
// the packet that would tell.
// Returns the seconds it took.
double gatherIdleClients(const Target& target, const TargetCommand& command, ClientSockets& clients,
                         std::size_t total) {
  const double start = monotonicSeconds();
  const double until = start + idleConnectLimit;
  while (clients.sockets.size() < total && monotonicSeconds() < until) {
    const std::size_t queued = target.queuedConnections();
    if (queued >= command.listenBacklog) {
      sleepSeconds(0.0002);
      continue;
    }
    const std::size_t batch =
        std::min({command.listenBacklog - queued, idleBatch, total - clients.sockets.size()});
    if (clients.connect(target.port(), batch, connectLimit) == 0)
      break;
  }
  target.waitAccepted(clients.sockets.size(), connectLimit);
  return monotonicSeconds() - start;
}

Figures idleClients(const TargetCommand& command) {
  Target target(command, Capture::pipe);
  if (!started(target, command))
    return {};
  OutputReader reader(target.output(), mostIdleClients, shortLine);
  ClientSockets clients;
  Figures figures;
  double connecting = 0.0;
  for (const std::size_t count : {std::size_t{0}, std::size_t{1000}, mostIdleClients}) {
    connecting += gatherIdleClients(target, command, clients, count);
    sleepSeconds(quietBefore);
    const CpuSample from = cpuSample(target);
    sleepSeconds(cpuSeconds);
    figures.push_back({"CPU, " + std::to_string(count) + " idle clients (% of a core)",
                       cpuPercentSince(target, from), 1});
  }
  figures.push_back(
      {"idle clients accepted", static_cast<double>(target.acceptedConnections()), 0});
  figures.push_back({"seconds spent connecting them", connecting, 2});

  // Probes from clients spread over the whole list, last accepted first.
  std::vector<double> delays;
  std::vector<char> line(shortLine);
  for (std::size_t probe = 0; probe < probes && !clients.sockets.empty(); ++probe) {
    const auto client = static_cast<std::uint32_t>((clients.sockets.size() - 1) *
                                                   (probes - 1 - probe) / (probes - 1));
    sleepSeconds(probeGap);  // back to idle pacing before every probe
    writeLine(client, 0, shortLine, line.data());
    const double sentAt = monotonicSeconds();
    sendAll(clients.sockets[client], line.data(), shortLine, sentAt + connectLimit);
    const double delay = awaitLine(reader, client, 0, sentAt, drainLimit);
    if (delay >= 0.0)
      delays.push_back(delay * 1000.0);
  }
  // Then one of them, the first accepted, sends a line every 100 ms.
  std::pair<double, double> sending{NAN, NAN};
  if (!clients.sockets.empty()) {
    sleepSeconds(probeGap);
    const std::vector<double> sentAt =
        sendPaced(clients.sockets[0], sendingAmongIdle, shortLine, sendingInterval, 0, 1);
    waitArrivals(reader, probes + sendingAmongIdle);
    sending = delaysOf(reader, linesOf(sentAt, 0, 1));
  }
  target.stop();
  reader.finish();
  clients.closeAll();

  std::sort(delays.begin(), delays.end());
  if (delays.empty())
    delays.push_back(NAN);
  const std::string ofProbes = " of " + std::to_string(probes) + " (ms)";
  figures.push_back({"probe line delay, median" + ofProbes, percentile(delays, 0.5), 2});
  figures.push_back({"probe line delay, slowest" + ofProbes, delays.back(), 2});
  const std::string ofLines = " of " + std::to_string(sendingAmongIdle) + " (ms)";
  figures.push_back({"one sending among them: delay, median" + ofLines, sending.first, 3});
  figures.push_back({"one sending among them: delay, 99th pct" + ofLines, sending.second, 3});
  return figures;
}

// Many clients, each a line every 100 ms, their turns spread evenly over the 100 ms: 10,000 lines
// a second, each alone when it comes. What each line costs, and how long it takes.
Figures manySending(const TargetCommand& command) {
  Target target(command, Capture::pipe);
  if (!started(target, command))
    return {};
  OutputReader reader(target.output(), manyClients, lightLine);
  ClientSockets clients;
  gatherIdleClients(target, command, clients, manyClients);
  sleepSeconds(quietBefore);
  const std::size_t count = clients.sockets.size();
  const auto rounds = static_cast<std::size_t>(manySeconds / sendingInterval);
  std::vector<double> sentAt(count * rounds);
  std::vector<char> line(lightLine);
  const CpuSample from = cpuSample(target);
  const double start = monotonicSeconds();
  for (std::size_t round = 0; round < rounds; ++round) {
    for (std::size_t client = 0; client < count; ++client) {
      sleepUntil(start + (static_cast<double>(round) +
                          static_cast<double>(client) / static_cast<double>(count)) *
                             sendingInterval);
      writeLine(static_cast<std::uint32_t>(client), round, lightLine, line.data());
      sentAt[client * rounds + round] = monotonicSeconds();
      sendAll(clients.sockets[client], line.data(), lightLine,
              sentAt[client * rounds + round] + connectLimit);
    }
  }
  const double cpu = cpuPercentSince(target, from);
  waitArrivals(reader, count * rounds);
  target.stop();
  reader.finish();
  clients.closeAll();

  const auto [median, slow] = delaysOf(reader, [&](const Arrival& arrival) {
    return arrival.client < count && arrival.sequence < rounds
               ? sentAt[arrival.client * rounds + arrival.sequence]
               : NAN;
  });
  return {{"CPU (% of a core)", cpu, 2},
          {"delay, median (ms)", median, 3},
          {"delay, 99th percentile (ms)", slow, 3},
          {"lines arrived intact (of " + std::to_string(manyClients * rounds) + ")",
           static_cast<double>(reader.checker().intact()), 0, false}};
}

// As many idle clients as the descriptor limit allows: all held, at what cost, and the delay of
// one more client's lines among them.
Figures mostClientsIdle(const TargetCommand& command) {
  Target target(command, Capture::pipe);
  if (!started(target, command))
    return {};
  OutputReader reader(target.output(), 1, shortLine);
  ClientSockets idle;
  const double connecting = gatherIdleClients(target, command, idle, mostClients);
  ClientSockets sender;
  const bool connected = sender.connect(target.port(), 1, connectLimit) == 1;
  const std::size_t accepted = target.waitAccepted(idle.sockets.size() + 1, connectLimit);
  sleepSeconds(quietBefore);
  const CpuSample from = cpuSample(target);
  sleepSeconds(cpuSeconds);
  const double cpu = cpuPercentSince(target, from);
  std::pair<double, double> sending{NAN, NAN};
  if (connected) {
    const std::vector<double> sentAt =
        sendPaced(sender.sockets[0], sendingAmongIdle, shortLine, sendingInterval);
    waitArrivals(reader, sendingAmongIdle);
    sending = delaysOf(reader, linesOf(sentAt));
  }
  const double peak = target.peakResidentMiB();
  target.stop();
  reader.finish();
  idle.closeAll();
  sender.closeAll();
  return {{"clients accepted (of " + std::to_string(mostClients + 1) + ")",
           static_cast<double>(accepted), 0},
          {"seconds spent connecting them", connecting, 1},
          {"CPU while idle (% of a core)", cpu, 2},
          {"peak resident memory of its first process (MiB)", peak, 1, false},
          {"one more sending: delay, median (ms)", sending.first, 3},
          {"one more sending: delay, 99th percentile (ms)", sending.second, 3}};
}

// A crowd of quiet clients, then one live client, connect; after a quiet second the crowd closes
// its sockets all at once and the live client sends a line right after. The live client comes
// last so that a receiver that serves its clients in the order they came meets every departure
// before the line.
Figures crowdLeaves(const TargetCommand& command) {
  Target target(command, Capture::pipe);
  if (!started(target, command))
    return {};
  OutputReader reader(target.output(), 1, shortLine);
  std::vector<char> line(shortLine);
  std::vector<double> delays;
  std::size_t fewestAccepted = leavingClients;
  for (std::size_t round = 0; round < leavingRounds; ++round) {
    ClientSockets crowd;
    ClientSockets live;
    gatherIdleClients(target, command, crowd, leavingClients);
    if (live.connect(target.port(), 1, connectLimit) != 1)
      break;
    const std::size_t accepted = target.waitAccepted(crowd.sockets.size() + 1, connectLimit);
    fewestAccepted = std::min(fewestAccepted, accepted > 0 ? accepted - 1 : 0);
    sleepSeconds(quietBefore);

    crowd.closeAll();
    writeLine(0, round, shortLine, line.data());
    const double sentAt = monotonicSeconds();
    sendAll(live.sockets[0], line.data(), shortLine, sentAt + connectLimit);
    const double delay = awaitLine(reader, 0, round, sentAt, afterLeavingLimit);
    if (delay >= 0.0)
      delays.push_back(delay * 1000.0);
  }
  target.stop();
  reader.finish();

  std::sort(delays.begin(), delays.end());
  if (delays.empty())
    delays.push_back(NAN);
  const std::string ofRounds = " of " + std::to_string(leavingRounds) + " (ms)";
  return {{"quiet clients accepted, fewest in a round", static_cast<double>(fewestAccepted), 0},
          {"line delay after they left, median" + ofRounds, percentile(delays, 0.5), 2},
          {"line delay after they left, slowest" + ofRounds, delays.back(), 2},
          {"lines intact (of " + std::to_string(leavingRounds) + ")",
           static_cast<double>(reader.checker().intact()), 0, false}};
}

Figures burst(const TargetCommand& command) {
  Target target(command, Capture::pipe);
  if (!started(target, command))
    return {};
  OutputReader reader(target.output(), burstClients, shortLine);
  ClientSockets clients;
  std::vector<char> line(shortLine);
  std::uint64_t linesSent = 0;
  const double start = monotonicSeconds();
  clients.connect(target.port(), burstClients, burstLimit, [&](std::size_t client) {
    writeLine(static_cast<std::uint32_t>(client), 0, shortLine, line.data());
    // An empty send buffer takes one line whole.
    if (send(clients.sockets[client], line.data(), shortLine, MSG_NOSIGNAL | MSG_DONTWAIT) ==
        static_cast<ssize_t>(shortLine)) {
      ++linesSent;
    }
  });
  const double until = std::max(monotonicSeconds(), start + burstLimit) + drainLimit;
  while (reader.arrivalCount() < linesSent && monotonicSeconds() < until)
    sleepSeconds(0.005);
  const auto accepted = static_cast<double>(target.acceptedConnections());
  target.stop();
  reader.finish();
  const double connected = static_cast<double>(clients.sockets.size());
  clients.closeAll();

  double lastArrival = start;
  for (const Arrival& arrival : reader.arrivals())
    lastArrival = std::max(lastArrival, arrival.seconds);
  Figures figures{{"connects completed (client side)", connected, 0},
                  {"connections accepted (receiver side)", accepted, 0}};
  addCheckRows(figures, linesSent, reader.checker());
  figures.push_back({"seconds to the last intact line", lastArrival - start, 2});
  return figures;
}

// The command with its receiver taking clients from `address` only: farspeak's --allow, socat's
// range= on its listener. Nothing for a receiver without such a rule.
std::optional<TargetCommand> takingOnly(TargetCommand command, const std::string& address) {
  if (command.name == "farspeak") {
    command.arguments.insert(command.arguments.end(), {"--allow", address});
    return command;
  }
  for (std::string& argument : command.arguments) {
    if (argument.starts_with("TCP-LISTEN:")) {
      argument += ",range=" + address + "/32";
      return command;
    }
  }
  return std::nullopt;
}

// One allowed client sends a line every 100 ms, in turns alone and beside clients from a refused
// address connecting as fast as they can: its delays both ways, what the flood costs, and what it
// puts on standard error.
Figures refusalFlood(const TargetCommand& plain) {
  const std::optional<TargetCommand> command = takingOnly(plain, allowedSource);
  if (!command) {
    std::cerr << plain.name << " cannot refuse clients by address\n";
    return {};
  }
  Target target(*command, Capture::pipe);
  if (!started(target, *command))
    return {};
  OutputReader reader(target.output(), 1, shortLine);
  ClientSockets client;
  if (!connectOneQuietly(target, client))
    return {};
  const std::size_t lines = 2 * floodCycles * floodPhaseLines;
  std::vector<double> aloneSentAt(lines, NAN);
  std::vector<double> floodSentAt(lines, NAN);
  double floodSeconds = 0.0;
  double cpuSeconds = 0.0;
  std::uint64_t refused = 0;
  std::uint64_t failed = 0;
  std::size_t errorLines = 0;
  for (std::size_t cycle = 0; cycle < floodCycles; ++cycle) {
    const std::size_t first = 2 * cycle * floodPhaseLines;
    const std::vector<double> alone =
        sendPaced(client.sockets[0], floodPhaseLines, shortLine, sendingInterval, 0, first);
    std::copy(alone.begin(), alone.end(), aloneSentAt.begin() + static_cast<long>(first));
    sleepUntil(alone.back() + sendingInterval);

    ConnectFlood flood(target.port(), floodSource, floodUnderWay);
    sleepSeconds(floodStart);
    const std::uint64_t endedBefore = flood.ended();
    const std::size_t errorLinesBefore = target.errorLines();
    const CpuSample from = cpuSample(target);
    const std::vector<double> flooded = sendPaced(client.sockets[0], floodPhaseLines, shortLine,
                                                  sendingInterval, 0, first + floodPhaseLines);
    std::copy(flooded.begin(), flooded.end(),
              floodSentAt.begin() + static_cast<long>(first + floodPhaseLines));
    sleepUntil(flooded.back() + sendingInterval);
    floodSeconds += monotonicSeconds() - from.at;
    cpuSeconds += target.cpuSeconds() - from.used;
    refused += flood.ended() - endedBefore;
    errorLines += target.errorLines() - errorLinesBefore;
    flood.stop();
    failed += flood.failed();
  }
  waitArrivals(reader, lines);
  target.stop();
  reader.finish();
  client.closeAll();

  const auto alone = delaysOf(reader, linesOf(aloneSentAt));
  const auto flooded = delaysOf(reader, linesOf(floodSentAt));
  const auto perSecond = [floodSeconds](double count) { return count / floodSeconds; };
  return {{"alone: delay, median (ms)", alone.first, 3},
          {"alone: delay, 99th percentile (ms)", alone.second, 3},
          {"in the flood: delay, median (ms)", flooded.first, 3},
          {"in the flood: delay, 99th percentile (ms)", flooded.second, 3},
          {"99th percentile, in the flood / alone", flooded.second / alone.second, 2},
          {"refused connections a second", perSecond(static_cast<double>(refused)), 0},
          {"standard error lines a second", perSecond(static_cast<double>(errorLines)), 1},
          {"CPU in the flood (% of a core)", perSecond(cpuSeconds) * 100.0, 1},
          {"connects that failed", static_cast<double>(failed), 0, false},
          {"lines arrived intact (of " + std::to_string(lines) + ")",
           static_cast<double>(reader.checker().intact()), 0, false}};
}

}  // namespace

std::vector<Scenario> scenarios() {
  const std::string toFile = "standard output to a file on /dev/shm";
  const std::string toPipe = "standard output to a pipe the bench reads";
  const std::string volume = std::to_string(throughputVolume >> 20) + " MiB";
  const std::string rounds =
      ", median of " + std::to_string(throughputRounds) + " rounds, lines counted over all";
  return {
      {"throughput-1",
       "Throughput, 1 client, 100-byte lines, " + volume + " (" + toFile + ")" + rounds,
       [](const TargetCommand& command) { return throughput(command, 1, shortLine); },
       throughputRounds, true, true},
      {"throughput-16",
       "Throughput, 16 clients, 100-byte lines, " + volume + " in all (" + toFile + ")" + rounds,
       [](const TargetCommand& command) { return throughput(command, 16, shortLine); },
       throughputRounds, true, true},
      {"throughput-8k",
       "Throughput, 1 client, 8 KiB lines, " + volume + " (" + toFile + ")" + rounds,
       [](const TargetCommand& command) { return throughput(command, 1, longLine); },
       throughputRounds, true, true},
      {"latency-100ms",
       "Latency from send to standard output, 100 lines 100 ms apart, otherwise idle (" + toPipe +
           ")",
       [](const TargetCommand& command) { return latency(command, 100, 0.1); }},
      {"latency-700ms",
       "Latency from send to standard output, 30 lines 700 ms apart, otherwise idle (" + toPipe +
           ")",
       [](const TargetCommand& command) { return latency(command, 30, 0.7); }},
      {"light",
       "Light traffic: 1 client, a 64-byte line every 300 ms for 6 s; CPU over those 6 s (" +
           toPipe + ")",
       light},
      {"idle", "Idle clients: CPU over 3 s, and the delay of a probe line (" + toPipe + ")",
       idleClients},
      {"crowd-leaves",
       "2,000 quiet clients leave at once; the delay of a line sent right after, 3 rounds (" +
           toPipe + ")",
       crowdLeaves},
      {"burst", "5,000 clients connecting at once, one 100-byte line each (" + toPipe + ")", burst},
      {"many-sending",
       "1,000 clients, each a 64-byte line every 100 ms spread evenly, for 5 s (" + toPipe + ")",
       manySending},
      {"refusal-flood",
       "Clients from a refused address connecting as fast as they can, " +
           std::to_string(floodUnderWay) +
           " at a time, and one allowed client sending a line every 100 ms: " +
           std::to_string(floodCycles) + " turns of " + std::to_string(floodPhaseLines) +
           " lines alone and " + std::to_string(floodPhaseLines) + " in the flood, delays of all " +
           std::to_string(floodCycles * floodPhaseLines) + " of each (" + toPipe + ")",
       refusalFlood},
      {"most-clients",
       "19,000 idle clients, then one more sending a line every 100 ms (" + toPipe +
           "); run by name",
       mostClientsIdle, 1, false},
  };
}

Figures combineRounds(const std::vector<Figures>& rounds) {
  if (rounds.empty() || std::any_of(rounds.begin(), rounds.end(), [&](const Figures& figures) {
        return figures.size() != rounds.front().size();
      })) {
    return {};
  }
  Figures combined = rounds.front();
  for (std::size_t row = 0; row < combined.size(); ++row) {
    std::vector<double> values;
    for (const Figures& figures : rounds)
      values.push_back(figures[row].value);
    std::sort(values.begin(), values.end());
    combined[row].value = combined[row].counted ? std::accumulate(values.begin(), values.end(), 0.0)
                                                : values[values.size() / 2];
  }
  return combined;
}

}  // namespace farspeak::bench
