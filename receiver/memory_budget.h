// What the clients' bytes not yet written take (unfinished lines, and received blocks that still
// hold lines waiting for their turn), kept within a budget by holding off reading: a client that is
// not read leaves what it sends in the system, whose flow control slows it down. Nothing is ever
// dropped to stay within the budget, nor written early: reading resumes as pieces go out.
#pragma once

#include <cstddef>
#include <unordered_set>

#include "receiver/client_record.h"

namespace farspeak {

class ClientHandler;  // receiver/clients.h
class OutputBuffer;   // receiver/output_buffer.h

class MemoryBudget {
 public:
  // With `output`, the received blocks it keeps until it writes count too.
  explicit MemoryBudget(const OutputBuffer* output = nullptr) : output_(output) {}

  // Over this, the clients that hold bytes are no longer read: they hold the most. Those that hold
  // none still are, a little a turn, so that a line a few hundred bytes long passes while a client
  // with much to send can take little.
  static constexpr std::size_t budget = std::size_t{64} << 20;
  static constexpr std::size_t shortReceive = 1024;
  // Reading resumes once what is held has fallen to this.
  static constexpr std::size_t resumeAt = budget / 4 * 3;

  // Before a client's turn: the most it may receive in it. Over the budget, one that holds bytes
  // is held off and receives nothing; one that holds none receives a little.
  std::size_t beforeTurn(ClientHandler& client);
  // After its turn: counts what it holds now, `blockMemory` of it in its received block.
  void afterTurn(ClientRecord& client, std::size_t blockMemory) {
    const std::size_t cost = client.buffer.capacity() + blockMemory;
    held_ = held_ - client.budgeted + cost;
    client.budgeted = cost;
    peak_ = held_ > peak_ ? held_ : peak_;
  }
  // The client goes.
  void remove(ClientHandler& client);
  // Between rounds: reading resumes when there is room again.
  void resumeWhenRoom();
  // Before the loop waits: hands memory back to the system after what was held fell by much.
  void giveBack();

  std::size_t held() const;
  bool readingHeldOff() const { return !heldOff_.empty(); }

 private:
  const OutputBuffer* output_;
  std::size_t held_ = 0;  // by the clients
  std::size_t peak_ = 0;  // the most held since memory was last given back
  std::unordered_set<ClientHandler*> heldOff_;
};

}  // namespace farspeak
