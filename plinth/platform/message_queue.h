// Standard error, written by a thread of its own. A stream meant for people must never hold up the
// program: a terminal paused with Ctrl+S, or a pipe nobody reads, blocks its writes for as long as
// it likes. Callers hand over text and go on; the thread does the blocking writes. Text is queued a
// message at a time (a message is the text through its LF), within a bound: when the queue is full
// a message is dropped whole and counted, and the count is said in its place once the stream takes
// text again.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace plinth::platform {

class MessageQueue {
 public:
  // A blocking write of every byte; false when the stream fails.
  using Writer = bool (*)(const void* bytes, std::size_t count);

  MessageQueue(Writer writer, std::size_t capacity) : writer_(writer), capacity_(capacity) {}
  // Gives the thread at most half a second for what is queued.
  ~MessageQueue();
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

  // Takes text without waiting. Each message it completes is queued, or dropped when it does not
  // fit; text after the last LF waits for the rest of its message.
  void post(const void* bytes, std::size_t count);
  // Queues an unfinished message as it stands, and waits at most `limit` for the queue to be
  // written. True when it was.
  bool drain(std::chrono::milliseconds limit);

 private:
  // A message, or in its place the count of those dropped there.
  struct Entry {
    std::string text;
    std::uint64_t dropped = 0;
  };

  void queue(std::string message);  // under the lock
  void run();

  const Writer writer_;
  const std::size_t capacity_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Entry> entries_;
  std::size_t queuedBytes_ = 0;
  std::string unfinished_;
  bool running_ = false;  // the thread has started
  bool writing_ = false;  // the thread holds an entry it has taken off the queue
  bool ending_ = false;
  std::thread thread_;  // started with the first message
};

}  // namespace plinth::platform
