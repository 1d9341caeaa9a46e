// The clients holding part of a line that may go out as a piece, in the order their pieces fall
// due. A piece is due half a second after the first byte its client holds came, so a client mostly
// joins at the back, and the next due piece is found without looking at any other client.
#pragma once

#include <optional>

#include "receiver/client_record.h"

namespace farspeak {

class DueOrder {
 public:
  // Where the client's piece, due at `due` or never, belongs: at the back, past every client due
  // later (which only a client whose held bytes waited for more to come can be), or out.
  void update(ClientRecord& client, std::optional<double> due);
  void remove(ClientRecord& client);
  ClientRecord* first() const { return first_; }

 private:
  ClientRecord* first_ = nullptr;
  ClientRecord* last_ = nullptr;
};

}  // namespace farspeak
