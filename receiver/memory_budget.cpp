#include "receiver/memory_budget.h"

#include "plinth/platform/platform.h"
#include "plinth/text/text_writer.h"
#include "receiver/clients.h"
#include "receiver/output_buffer.h"

namespace farspeak {
namespace {

// Less than this falling is not worth a call to the system.
constexpr std::size_t worthGivingBack = std::size_t{4} << 20;

}  // namespace

std::size_t MemoryBudget::held() const {
  return held_ + (output_ != nullptr ? output_->pinnedMemory() : 0);
}

std::size_t MemoryBudget::beforeTurn(ClientHandler& client) {
  if (held() <= budget)
    return SIZE_MAX;
  if (client.record.budgeted == 0)
    return shortReceive;
  if (heldOff_.empty()) {
    plinth::console()
        .writeText("Clients hold ")
        .writeUInt64(held() >> 20)
        .writeText(" MiB not yet written: reading from the busiest waits until it is\n");
  }
  if (heldOff_.insert(&client).second)
    client.setReading(false);
  return 0;
}

void MemoryBudget::remove(ClientHandler& client) {
  held_ -= client.record.budgeted;
  client.record.budgeted = 0;
  heldOff_.erase(&client);
}

void MemoryBudget::resumeWhenRoom() {
  if (heldOff_.empty() || held() > resumeAt)
    return;
  for (ClientHandler* client : heldOff_)
    client->setReading(true);
  heldOff_.clear();
  plinth::console().writeText("Reading from every client again\n");
}

void MemoryBudget::giveBack() {
  if (peak_ - held_ < worthGivingBack)
    return;
  plinth::platform::services.trimMemory();
  peak_ = held_;
}

}  // namespace farspeak
