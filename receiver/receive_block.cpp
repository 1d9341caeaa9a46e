#include "receiver/receive_block.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

namespace farspeak {
namespace {

// One block kept back for the next read, so that a busy client does not go to the heap every time
// its block drains.
std::atomic<unsigned char*> spareBlock{nullptr};

}  // namespace

std::span<unsigned char> ReceiveBlock::room(std::size_t most) {
  if (storage_ == nullptr) {
    capacity_ = std::min<std::size_t>(most, blockSize);
    if (capacity_ == blockSize)
      storage_ = spareBlock.exchange(nullptr, std::memory_order_acquire);
    if (storage_ == nullptr)
      storage_ = static_cast<unsigned char*>(std::malloc(capacity_));
  }
  if (storage_ == nullptr || storage_ == fallback_) {
    storage_ = fallback_;
    capacity_ = std::min(sizeof fallback_, capacity_);
  }
  return {storage_, capacity_};
}

void ReceiveBlock::release() {
  if (storage_ != nullptr && storage_ != fallback_) {
    std::free(capacity_ == blockSize ? spareBlock.exchange(storage_, std::memory_order_acq_rel)
                                     : storage_);
  }
  storage_ = nullptr;
  next_ = end_ = 0;
}

}  // namespace farspeak
