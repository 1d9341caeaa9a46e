#include "receiver/memory_budget.h"

#include <algorithm>

#include "plinth/platform/platform.h"
#include "plinth/text/text_writer.h"

namespace farspeak {
namespace {

// Less than this falling is not worth a call to the system.
constexpr std::size_t worthGivingBack = std::size_t{4} << 20;
constexpr std::size_t noLimit = ~std::size_t{0};

}  // namespace

void MemoryBudget::limitReading(ClientRecord& client) {
  const bool over = held_ > budget;
  if (over && client.budgeted > 0 && !client.readingHeldOff) {
    holdOff(client);
  } else if (over || client.receivesShortened) {
    client.connection->limitReceives(over ? shortReceive : noLimit);  // for this turn
    client.receivesShortened = over;
  }
}

void MemoryBudget::holdOff(ClientRecord& client) {
  if (heldOff_.empty()) {
    plinth::console()
        .writeText("Clients hold ")
        .writeUInt64(held_ >> 20)
        .writeText(" MiB not yet written: reading from the busiest waits until it is\n");
  }
  client.connection->holdOffReceiving(true);
  client.readingHeldOff = true;
  heldOff_.push_back(&client);
}

void MemoryBudget::remove(ClientRecord& client) {
  held_ -= client.budgeted;
  client.budgeted = 0;
  if (client.readingHeldOff)
    std::erase(heldOff_, &client);
}

void MemoryBudget::resumeWhenRoom() {
  if (heldOff_.empty() || held_ > resumeAt)
    return;
  for (ClientRecord* client : heldOff_) {
    client->connection->holdOffReceiving(false);
    client->readingHeldOff = false;
  }
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
