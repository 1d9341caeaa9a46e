#include "receiver/receive_block.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

namespace farspeak {

// The bytes apart from the rest, so that a block is exactly its size, as a client's held line is,
// and the heap reuses the one for the other.
struct ReceiveBlock::Storage {
  unsigned char* bytes = nullptr;
  std::size_t capacity = 0;
  std::uint32_t pins = 0;
  bool inUse = true;  // by its block; once it is not, the last pin lets it go
};

namespace {

// One block kept back for the next read, so that a busy client does not go to the heap every time
// its block drains.
std::atomic<ReceiveBlock::Storage*> spareBlock{nullptr};

ReceiveBlock::Storage* allocate(std::size_t capacity) {
  if (capacity == ReceiveBlock::blockSize) {
    if (ReceiveBlock::Storage* spare = spareBlock.exchange(nullptr, std::memory_order_acquire)) {
      spare->inUse = true;
      return spare;
    }
  }
  auto* storage = new (std::nothrow) ReceiveBlock::Storage;
  if (storage != nullptr)
    storage->bytes = static_cast<unsigned char*>(std::malloc(capacity));
  if (storage == nullptr || storage->bytes == nullptr) {
    delete storage;
    return nullptr;
  }
  storage->capacity = capacity;
  return storage;
}

void letGo(ReceiveBlock::Storage* storage) {
  if (storage->capacity == ReceiveBlock::blockSize)
    storage = spareBlock.exchange(storage, std::memory_order_acq_rel);
  if (storage != nullptr)
    std::free(storage->bytes);
  delete storage;
}

}  // namespace

std::span<unsigned char> ReceiveBlock::room(std::size_t most) {
  if (bytes_ == nullptr) {
    capacity_ = std::min<std::size_t>(most, blockSize);
    storage_ = allocate(capacity_);
    bytes_ = storage_ != nullptr ? storage_->bytes : fallback_;
    if (storage_ == nullptr)
      capacity_ = std::min(sizeof fallback_, capacity_);
  }
  return {bytes_, capacity_};
}

void ReceiveBlock::release() {
  if (storage_ != nullptr) {
    storage_->inUse = false;
    if (storage_->pins == 0)
      letGo(storage_);
  }
  storage_ = nullptr;
  bytes_ = nullptr;
  next_ = end_ = 0;
}

ReceiveBlock::Pin ReceiveBlock::pin() {
  if (storage_ != nullptr)
    ++storage_->pins;
  return storage_;
}

void ReceiveBlock::unpin(Pin pin) {
  if (--pin->pins == 0 && !pin->inUse)
    letGo(pin);
}

std::size_t ReceiveBlock::pinnedMemory(Pin pin) {
  return pin->capacity;
}

}  // namespace farspeak
