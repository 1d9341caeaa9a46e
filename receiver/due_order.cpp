#include "receiver/due_order.h"

namespace farspeak {

void DueOrder::update(ClientRecord& client, std::optional<double> due) {
  if (client.dueQueued && due == client.due)
    return;
  remove(client);
  if (!due)
    return;
  client.due = *due;
  client.dueQueued = true;
  ClientRecord* before = last_;
  while (before != nullptr && before->due > *due)
    before = before->dueBefore;
  client.dueBefore = before;
  client.dueAfter = before != nullptr ? before->dueAfter : first_;
  (before != nullptr ? before->dueAfter : first_) = &client;
  (client.dueAfter != nullptr ? client.dueAfter->dueBefore : last_) = &client;
}

void DueOrder::remove(ClientRecord& client) {
  if (!client.dueQueued)
    return;
  (client.dueBefore != nullptr ? client.dueBefore->dueAfter : first_) = client.dueAfter;
  (client.dueAfter != nullptr ? client.dueAfter->dueBefore : last_) = client.dueBefore;
  client.dueBefore = client.dueAfter = nullptr;
  client.dueQueued = false;
}

}  // namespace farspeak
