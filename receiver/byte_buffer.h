// A growable byte array whose storage is kept when it is emptied, so that a buffer in steady use
// causes no allocation, until it is released. Storage grows by doubling from 1024 bytes. Running
// out of memory writes "Out of memory!" and ends the process.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace farspeak {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer();

  void append(unsigned char byte) {
    if (end_ == capacityEnd_)
      grow(1);
    *end_++ = byte;
  }
  void append(const unsigned char* bytes, std::size_t count) {
    if (count > static_cast<std::size_t>(capacityEnd_ - end_))
      grow(count);
    if (count > 0)
      std::memcpy(end_, bytes, count);
    end_ += count;
  }
  void append(std::string_view text) {
    append(reinterpret_cast<const unsigned char*>(text.data()), text.size());
  }
  // The bytes held, from begin() up to end().
  unsigned char* begin() const { return begin_; }
  unsigned char* end() const { return end_; }
  std::size_t size() const { return static_cast<std::size_t>(end_ - begin_); }
  std::size_t capacity() const { return static_cast<std::size_t>(capacityEnd_ - begin_); }
  bool empty() const { return end_ == begin_; }
  void clear() { end_ = begin_; }
  // Keeps the first `size` bytes.
  void truncate(std::size_t size) { end_ = begin_ + size; }
  // Keeps the bytes from `from` on, moved to the front.
  void dropFront(const unsigned char* from);
  // Hands back storage beyond 1 KiB or twice the bytes held, whichever is more: a buffer that once
  // held a long line keeps no more than what it holds now needs.
  void shrink();
  // Empties the buffer and hands its storage back.
  void release();

 private:
  // Doubles the storage until `more` bytes fit after the ones held.
  void grow(std::size_t more);

  unsigned char* begin_ = nullptr;
  unsigned char* capacityEnd_ = nullptr;
  unsigned char* end_ = nullptr;
};

}  // namespace farspeak
