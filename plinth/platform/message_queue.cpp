#include "plinth/platform/message_queue.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "plinth/platform/native.h"

namespace plinth::platform {
namespace {

constexpr std::chrono::milliseconds lastWrites{500};

// Appended piece by piece: GCC 12 warns, wrongly, about `"(" + text`.
std::string droppedNote(std::uint64_t count) {
  std::string note = "(";
  note.append(std::to_string(count))
      .append(count == 1 ? " message" : " messages")
      .append(" not shown: standard error was blocked)\r\n");
  return note;
}

}  // namespace

MessageQueue::~MessageQueue() {
  drain(lastWrites);
  std::unique_lock<std::mutex> hold(lock_);
  ending_ = true;
  changed_.notify_all();
  const bool stuck = writing_;
  hold.unlock();
  if (!thread_.joinable())
    return;
  if (stuck)
    thread_.detach();  // a write that never returns cannot be waited for
  else
    thread_.join();
}

void MessageQueue::post(const void* bytes, std::size_t count) {
  const auto* text = static_cast<const char*>(bytes);
  std::lock_guard<std::mutex> hold(lock_);
  while (count > 0) {
    const auto* lineFeed = static_cast<const char*>(std::memchr(text, '\n', count));
    const std::size_t taken =
        lineFeed != nullptr ? static_cast<std::size_t>(lineFeed - text) + 1 : count;
    unfinished_.append(text, taken);
    text += taken;
    count -= taken;
    // A message that never ends is cut where it would no longer fit.
    if (lineFeed != nullptr || unfinished_.size() >= capacity_)
      queue(std::exchange(unfinished_, {}));
  }
}

void MessageQueue::queue(std::string message) {
  if (queuedBytes_ + message.size() > capacity_) {
    if (entries_.empty() || entries_.back().dropped == 0)
      entries_.push_back({});
    ++entries_.back().dropped;
    return;
  }
  queuedBytes_ += message.size();
  entries_.push_back({std::move(message)});
  if (!thread_.joinable())
    thread_ = std::thread([this] { run(); });
  changed_.notify_all();
}

bool MessageQueue::drain(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> hold(lock_);
  if (!unfinished_.empty())
    queue(std::exchange(unfinished_, {}));
  // A thread that has not run yet is slow to start (a loaded machine), not held up by the stream.
  changed_.wait_for(hold, limit * 10, [this] { return running_ || entries_.empty(); });
  return changed_.wait_for(hold, limit, [this] { return entries_.empty() && !writing_; });
}

void MessageQueue::run() {
  std::unique_lock<std::mutex> hold(lock_);
  running_ = true;
  changed_.notify_all();
  for (;;) {
    changed_.wait(hold, [this] { return ending_ || !entries_.empty(); });
    if (entries_.empty())
      return;
    Entry entry = std::move(entries_.front());
    entries_.pop_front();
    queuedBytes_ -= entry.text.size();
    writing_ = true;
    hold.unlock();
    if (entry.dropped > 0)
      entry.text = droppedNote(entry.dropped);
    writer_(entry.text.data(), entry.text.size());
    hold.lock();
    writing_ = false;
    changed_.notify_all();
  }
}

}  // namespace plinth::platform

namespace plinth::platform::native {
namespace {

constexpr std::size_t errorQueueCapacity = 64 * 1024;

// Never destroyed: exit handlers and static destructors may still have something to say.
std::atomic<MessageQueue*> errorQueue{nullptr};
std::atomic<bool> queueing{false};

}  // namespace

bool writeStandardError(const void* bytes, std::size_t count) {
  if (!queueing)
    return writeErrorStream(bytes, count);
  static MessageQueue* const queue = [] {
    auto* made = new MessageQueue(writeErrorStream, errorQueueCapacity);
    errorQueue = made;
    std::atexit(finishStandardError);
    return made;
  }();
  queue->post(bytes, count);
  return true;
}

void queueStandardError() {
  queueing = true;
}

void finishStandardError() {
  if (MessageQueue* const queue = errorQueue)
    queue->drain(lastWrites);
}

}  // namespace plinth::platform::native
