// What a client's connection received and its turns have not yet taken. A read into an empty block
// takes what the system has, up to 64 KiB, so that one system call serves many lines; the block is
// handed back as soon as it is empty, so an idle client holds no memory for it. Standard output may
// pin the block's storage while it writes bytes straight from it: the storage then outlives the
// block's use of it, until the last pin is let go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace farspeak {

class ReceiveBlock {
 public:
  static constexpr std::int32_t blockSize = 64 * 1024;
  struct Storage;  // its bytes, and how many pins hold it
  using Pin = Storage*;

  ReceiveBlock() = default;
  ReceiveBlock(const ReceiveBlock&) = delete;
  ReceiveBlock& operator=(const ReceiveBlock&) = delete;
  ~ReceiveBlock() { release(); }

  bool empty() const { return next_ == end_; }
  // The memory the bytes held take: 0 when there are none.
  std::size_t memory() const { return empty() ? 0 : capacity_; }
  std::span<const unsigned char> held() const {
    return {bytes_ + next_, static_cast<std::size_t>(end_ - next_)};
  }
  // Room for one read into the empty block: a block, or room for `most` bytes when that is less,
  // or when memory is short the few bytes of a fallback (slower, but nothing is lost). Then
  // `filled` with what the read stored, or `release`.
  std::span<unsigned char> room(std::size_t most);
  void filled(std::int32_t count) { next_ = 0, end_ = count; }
  void take(std::size_t count) {
    next_ += static_cast<std::int32_t>(count);
    if (next_ == end_)
      release();
  }
  void release();

  // Keeps the storage of the bytes held until `unpin`; nothing when they are in the fallback, which
  // cannot be kept.
  Pin pin();
  static void unpin(Pin pin);
  static std::size_t pinnedMemory(Pin pin);

 private:
  Storage* storage_ = nullptr;      // while bytes are held, unless they are in the fallback
  unsigned char* bytes_ = nullptr;  // the storage's bytes, or `fallback_`
  std::size_t capacity_ = 0;
  std::int32_t next_ = 0;
  std::int32_t end_ = 0;
  unsigned char fallback_[16] = {};
};

}  // namespace farspeak
