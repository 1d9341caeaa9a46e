#include "receiver/byte_buffer.h"

#include <new>

#include "plinth/platform/platform.h"
#include "plinth/text/text_writer.h"

namespace farspeak {
namespace {

constexpr std::size_t firstCapacity = 1024;

[[noreturn]] void outOfMemory() {
  plinth::console().writeText("Out of memory!\n");
  throw std::bad_alloc();  // nothing catches it: the process ends
}

}  // namespace

ByteBuffer::ByteBuffer(const ByteBuffer& other) {
  const std::size_t size = other.size();
  if (size == 0)
    return;
  begin = static_cast<unsigned char*>(plinth::platform::services.allocate(size));
  if (begin == nullptr)
    outOfMemory();
  std::memcpy(begin, other.begin, size);
  end = capacityEnd = begin + size;
}

ByteBuffer::~ByteBuffer() {
  plinth::platform::services.release(begin);
}

void ByteBuffer::dropFront(const unsigned char* from) {
  const auto kept = static_cast<std::size_t>(end - from);
  std::memmove(begin, from, kept);
  end = begin + kept;
}

void ByteBuffer::release() {
  plinth::platform::services.release(begin);
  begin = capacityEnd = end = nullptr;
}

void ByteBuffer::grow(std::size_t more) {
  const std::size_t held = size();
  std::size_t newCapacity = begin == nullptr ? firstCapacity : 2 * capacity();
  while (newCapacity - held < more) {
    if (newCapacity > ~std::size_t{0} / 2)
      outOfMemory();
    newCapacity *= 2;
  }
  auto* storage =
      static_cast<unsigned char*>(plinth::platform::services.reallocate(begin, newCapacity));
  if (storage == nullptr)
    outOfMemory();
  begin = storage;
  end = begin + held;
  capacityEnd = begin + newCapacity;
}

}  // namespace farspeak
