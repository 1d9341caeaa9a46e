#include "plinth/platform/receive_buffer.h"

#include <atomic>
#include <cstdlib>

namespace plinth::platform::buffered {
namespace {

constexpr int blockSize = 64 * 1024;

// One block kept back for the next refill, so that a busy socket does not go to the heap every
// time its buffer drains.
std::atomic<unsigned char*> spareBlock{nullptr};

unsigned char* takeBlock() {
  unsigned char* block = spareBlock.exchange(nullptr, std::memory_order_acquire);
  return block != nullptr ? block : static_cast<unsigned char*>(std::malloc(blockSize));
}

}  // namespace

SocketTable<HeldBytes> heldBytes;

void releaseBlock(HeldBytes& held) {
  std::free(spareBlock.exchange(held.block, std::memory_order_acq_rel));
  held = HeldBytes{};
}

int refill(SocketHandle socket, HeldBytes* held, void* buffer, int count) {
  if (count >= blockSize)
    return services.receive(socket, buffer, count);
  unsigned char* block = held != nullptr ? takeBlock() : nullptr;
  if (block == nullptr)
    return services.receive(socket, buffer, count);  // no room: unbuffered
  const int received = services.receive(socket, block, blockSize);
  held->block = block;
  if (received <= 0) {
    releaseBlock(*held);  // nothing held, so end of stream or the error is reported now
    return received;
  }
  held->end = received;
  return receive(socket, buffer, count);
}

bool closeSocket(SocketHandle socket) {
  if (HeldBytes* held = heldBytes.find(socket); held != nullptr && held->block != nullptr) {
    releaseBlock(*held);
  }
  return services.closeSocket(socket);
}

}  // namespace plinth::platform::buffered
