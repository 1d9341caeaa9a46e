#include "bench/stress_session.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace farspeak::bench {
namespace {

constexpr double endLimit = 5.0;      // seconds for the output to end once the receiver exits
constexpr double reportLimit = 30.0;  // seconds for the receiver to report every ended client
constexpr double replyLimit = 5.0;    // seconds for one client's line or report
constexpr double probeInterval = 0.1;
constexpr double baseMemoryMiB = 64.0;
constexpr double memoryPerClientKiB = 70.0;
constexpr std::size_t largestRead = 256 * 1024;

std::string yesNo(bool value) {
  return value ? "yes" : "no";
}

}  // namespace

void ScenarioReport::check(std::string label, std::string value, std::string target, bool passed) {
  checks.push_back({std::move(label), std::move(value), std::move(target), passed});
}

void ScenarioReport::figure(std::string label, std::string value) {
  checks.push_back({std::move(label), std::move(value), "", true});
}

bool ScenarioReport::passed() const {
  return !checks.empty() &&
         std::all_of(checks.begin(), checks.end(), [](const Check& check) { return check.passed; });
}

std::string countText(std::uint64_t value) {
  const std::string digits = std::to_string(value);
  std::string text;
  for (std::size_t index = 0; index < digits.size(); ++index) {
    if (index > 0 && (digits.size() - index) % 3 == 0)
      text += ',';
    text += digits[index];
  }
  return text;
}

std::string numberText(double value, int decimals) {
  if (std::isnan(value))
    return "-";
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::uint64_t microsecondsSince(double epoch) {
  return static_cast<std::uint64_t>(std::max(0.0, monotonicSeconds() - epoch) * 1e6);
}

OutputTap::OutputTap(int descriptor, Route route)
    : descriptor_(descriptor), route_(std::move(route)), thread_(&OutputTap::readUntilEnd, this) {}

OutputTap::~OutputTap() {
  giveUp_ = true;
  if (thread_.joinable())
    thread_.join();
}

void OutputTap::finish() {
  resume();
  waitUntil(endLimit, [this] { return ended_.load(); });
  giveUp_ = true;
  if (thread_.joinable())
    thread_.join();
}

void OutputTap::readUntilEnd() {
  std::vector<char> buffer(largestRead);
  double rateFrom = 0.0;  // when reading at the limited rate began, and what had been read then
  std::uint64_t readBeforeRate = 0;
  while (!giveUp_) {
    if (rate_ > 0.0) {
      const double now = monotonicSeconds();
      if (rateFrom == 0.0) {
        rateFrom = now;
        readBeforeRate = bytesRead_;
      }
      const double due = rateFrom + static_cast<double>(bytesRead_ - readBeforeRate) / rate_;
      if (now < due) {
        sleepSeconds(std::min(due - now, 0.01));
        continue;
      }
    }
    if (paused_) {
      sleepSeconds(0.01);
      continue;
    }
    pollfd readable{descriptor_, POLLIN, 0};
    if (poll(&readable, 1, 50) <= 0)
      continue;
    const ssize_t length = read(descriptor_, buffer.data(), buffer.size());
    if (length < 0 && errno == EINTR)
      continue;
    if (length <= 0)
      break;  // the receiver has exited
    const double now = monotonicSeconds();
    bytesRead_ += static_cast<std::uint64_t>(length);
    const std::lock_guard<std::mutex> hold(mutex_);
    route_(std::string_view(buffer.data(), static_cast<std::size_t>(length)), now);
  }
  ended_ = true;
}

Session::Session(const StressOptions& options, OutputKind kind, int descriptorLimit)
    : options_(options),
      kind_(kind),
      epoch_(monotonicSeconds()),
      target_(options.farspeak, kind, descriptorLimit),
      lines_(epoch_),
      tagged_([this](const TaggedLine& line, double seconds) {
        const bool reserved = !line.continued && isReservedLine(line.text);
        if (reserved || !route_ || !route_(line, seconds))
          lines_.feedLine(line.text, seconds);
      }),
      probe_(probeInterval, epoch_, probeClient) {}

bool Session::start(ScenarioReport& report, Route route, bool withProbe) {
  withProbe_ = withProbe;
  if (!target_.listening()) {
    report.check("receiver started", "no: " + target_.errorText(), "yes", false);
    return false;
  }
  cpuAtStart_ = target_.cpuSeconds();
  report.idleDescriptorsBefore = target_.openDescriptors();
  route_ = std::move(route);
  tap_ = std::make_unique<OutputTap>(target_.output(), [this](std::string_view bytes, double now) {
    if (kind_ == OutputKind::tagged)
      tagged_.feed(bytes, now);
    else
      lines_.feedStream(bytes, now);
  });
  if (!withProbe)
    return true;
  const bool probing = probe_.start(target_.port(), 1) == 1 &&
                       waitUntil(replyLimit, [this] { return target_.reports().incoming == 1; });
  if (!probing)
    report.check("probe connected", "no", "yes", false);
  return probing;
}

bool Session::acceptsNewClient() {
  const std::size_t endedBefore = target_.reports().ended();
  ClientSockets client;
  if (client.connect(target_.port(), 1, replyLimit) != 1)
    return false;
  const std::string line = stressLineText(finalClient, microsecondsSince(epoch_));
  const bool delivered =
      sendAll(client.sockets[0], line.data(), line.size(), monotonicSeconds() + replyLimit) &&
      waitUntil(replyLimit, [this] {
        const auto hold = tap_->hold();
        return lines_.finalLineSeen();
      });
  client.closeAll();
  const bool reported =
      waitUntil(replyLimit, [&] { return target_.reports().ended() > endedBefore; });
  return delivered && reported;
}

void Session::finish(ScenarioReport& report, std::size_t peakClients) {
  probe_.stop();
  probe_.close();
  const bool allEnded = waitUntil(reportLimit, [this] {
    const Reports reports = target_.reports();
    return reports.ended() == reports.incoming;
  });
  const Reports reports = target_.reports();
  report.check("connections reported ended",
               countText(reports.ended()) + " of " + countText(reports.incoming),
               "all, within " + numberText(reportLimit, 0) + " s", allEnded);

  const int before = report.idleDescriptorsBefore;
  waitUntil(2.0, [&] { return target_.openDescriptors() == before; });
  report.idleDescriptorsAfter = target_.openDescriptors();
  report.check("open descriptors at idle, before and after",
               std::to_string(before) + " / " + std::to_string(report.idleDescriptorsAfter),
               "the same", before > 0 && report.idleDescriptorsAfter == before);

  report.acceptsAtEnd = acceptsNewClient();
  report.check("accepts a new client at the end", yesNo(report.acceptsAtEnd), "yes",
               report.acceptsAtEnd);

  const double cpu = target_.cpuSeconds() - cpuAtStart_;
  const double seconds = monotonicSeconds() - epoch_;
  report.figure("receiver CPU over the run (% of a core)", numberText(cpu / seconds * 100.0, 1));
  report.peakMemoryMiB = static_cast<double>(target_.peakResidentKiB()) / 1024.0;
  report.memoryLimitMiB =
      baseMemoryMiB + memoryPerClientKiB * static_cast<double>(peakClients) / 1024.0;
  report.check("peak resident memory (MiB)", numberText(report.peakMemoryMiB, 1),
               "< " + numberText(report.memoryLimitMiB, 1) + " (" + countText(peakClients) +
                   " clients at most)",
               report.peakMemoryMiB > 0.0 && report.peakMemoryMiB < report.memoryLimitMiB);

  std::string how;
  const bool alive = target_.running(&how);
  report.check("still running before the stop", alive ? "yes" : "no: " + how, "yes", alive);
  const std::optional<int> code = target_.stop(&how);
  report.check("exit on SIGTERM", how, "exit code 0", code == 0);

  tap_->finish();
  const auto hold = tap_->hold();
  lines_.finish();
  report.check("lines mixed or out of order",
               countText(lines_.mixed()) + " / " + countText(lines_.reordered()), "0 / 0",
               lines_.mixed() == 0 && lines_.reordered() == 0);
  if (kind_ == OutputKind::tagged) {
    tagged_.finish();
    report.check("output lines without their tag", countText(tagged_.malformed()), "0",
                 tagged_.malformed() == 0);
  }
  if (withProbe_) {
    report.worstProbeMilliseconds = lines_.worstProbeDelay() * 1000.0;
    report.check("probe lines arrived",
                 countText(lines_.probeLines()) + " of " + countText(probe_.sent()), "all",
                 probe_.sent() > 0 && lines_.probeLines() == probe_.sent());
    report.check("probe line, worst delay (ms)", numberText(report.worstProbeMilliseconds, 1),
                 "< " + numberText(probeTarget_ * 1000.0, 0),
                 lines_.worstProbeDelay() < probeTarget_);
  }
}

}  // namespace farspeak::bench
