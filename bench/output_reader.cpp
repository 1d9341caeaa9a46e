#include "bench/output_reader.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "bench/timing.h"

namespace farspeak::bench {
namespace {

constexpr double endLimit = 5.0;  // seconds the output may take to end once finish() is called

}  // namespace

OutputReader::OutputReader(int pipe, std::uint32_t clients, std::size_t lineLength)
    : pipe_(pipe),
      checker_(clients, lineLength,
               [this](std::uint32_t client, std::uint64_t sequence) {
                 const std::lock_guard<std::mutex> hold(mutex_);
                 arrivals_.push_back(Arrival{client, sequence, now_});
               }),
      thread_(&OutputReader::readUntilEnd, this) {}

OutputReader::~OutputReader() {
  giveUp_ = true;
  if (thread_.joinable())
    thread_.join();
}

std::vector<Arrival> OutputReader::arrivals() const {
  const std::lock_guard<std::mutex> hold(mutex_);
  return arrivals_;
}

std::size_t OutputReader::arrivalCount() const {
  const std::lock_guard<std::mutex> hold(mutex_);
  return arrivals_.size();
}

void OutputReader::finish() {
  if (!thread_.joinable())
    return;
  const double until = monotonicSeconds() + endLimit;
  while (!ended_ && monotonicSeconds() < until)
    sleepSeconds(0.01);
  giveUp_ = true;
  thread_.join();
}

void OutputReader::readUntilEnd() {
  static constexpr std::size_t bufferSize = 65536;
  std::vector<char> buffer(bufferSize);
  while (!giveUp_) {
    pollfd readable{pipe_, POLLIN, 0};
    if (poll(&readable, 1, 50) <= 0)
      continue;
    const ssize_t length = read(pipe_, buffer.data(), buffer.size());
    if (length < 0 && errno == EINTR)
      continue;
    if (length <= 0)
      break;  // every writer has closed its end
    now_ = monotonicSeconds();
    checker_.feed(buffer.data(), static_cast<std::size_t>(length));
  }
  checker_.finish();
  ended_ = true;
}

}  // namespace farspeak::bench
