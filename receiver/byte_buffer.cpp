#include "receiver/byte_buffer.h"

#include <algorithm>
#include <bit>
#include <new>

#include "plinth/platform/platform.h"
#include "plinth/text/text_writer.h"

namespace farspeak {
namespace {

constexpr std::size_t firstCapacity = 1024;

[[noreturn]] void outOfMemory() {
  plinth::console().writeText("Out of memory!\n");
  plinth::platform::services.finishStandardError();
  throw std::bad_alloc();  // nothing catches it: the process ends
}

}  // namespace

ByteBuffer::~ByteBuffer() {
  plinth::platform::services.release(begin_);
}

void ByteBuffer::dropFront(const unsigned char* from) {
  const auto kept = static_cast<std::size_t>(end_ - from);
  std::memmove(begin_, from, kept);
  end_ = begin_ + kept;
}

void ByteBuffer::shrink() {
  // A power of two, as growth makes: a buffer that grows again reaches a piece's size exactly.
  const std::size_t held = size();
  const std::size_t enough = std::max(firstCapacity, std::bit_ceil(held));
  if (begin_ == nullptr || capacity() <= enough)
    return;
  // New storage, not the old cut down in place: that would leave the heap a hole too small for the
  // next large buffer behind every small one, and thousands of clients would grow it for good.
  auto* storage = static_cast<unsigned char*>(plinth::platform::services.allocate(enough));
  if (storage == nullptr)
    return;  // the storage held stays good
  std::memcpy(storage, begin_, held);
  plinth::platform::services.release(begin_);
  begin_ = storage;
  end_ = begin_ + held;
  capacityEnd_ = begin_ + enough;
}

void ByteBuffer::release() {
  plinth::platform::services.release(begin_);
  begin_ = capacityEnd_ = end_ = nullptr;
}

void ByteBuffer::grow(std::size_t more) {
  const std::size_t held = size();
  std::size_t newCapacity = begin_ == nullptr ? firstCapacity : 2 * capacity();
  while (newCapacity - held < more) {
    if (newCapacity > ~std::size_t{0} / 2)
      outOfMemory();
    newCapacity *= 2;
  }
  auto* storage =
      static_cast<unsigned char*>(plinth::platform::services.reallocate(begin_, newCapacity));
  if (storage == nullptr)
    outOfMemory();
  begin_ = storage;
  end_ = begin_ + held;
  capacityEnd_ = begin_ + newCapacity;
}

}  // namespace farspeak
