#include "receiver/clients.h"

namespace farspeak {

ClientHandler::ClientHandler(Clients& clients,
                             const plinth::CountedRef<plinth::NetworkConnection>& connection,
                             unsigned number)
    : record(connection, clients.output_.format(), number), clients_(clients) {}

ClientHandler::~ClientHandler() {
  clients_.loop_.unwatch(*this);  // before the connection, and so its socket, goes
  clients_.loop_.cancel(*this);
}

void ClientHandler::onReadable() {
  clients_.serve(*this, clients_.loop_.now());
}

void ClientHandler::onTimer() {
  clients_.loop_.callAgain(*this);
}

void ClientHandler::setReading(bool reading) {
  clients_.loop_.setReading(*this, reading);
}

ClientHandler& Clients::add(const plinth::CountedRef<plinth::NetworkConnection>& connection,
                            unsigned number) {
  ClientHandler& client = clients_.emplace_back(*this, connection, number);
  client.self_ = std::prev(clients_.end());
  loop_.watch(client, connection->handle());
  if (output_.format().json)
    output_.writeEvent(client.record, "connect");
  return client;
}

void Clients::serve(ClientHandler& client, double now) {
  ClientRecord& record = client.record;
  Turn turn{output_, client.received, now, budget_.beforeTurn(client)};
  if (!pollClient(record, turn)) {
    budget_.remove(client);
    loop_.unwatch(client);
    loop_.cancel(client);
    ended_.push_back(client.self_);
    return;
  }
  budget_.afterTurn(record, client.received.memory());
  if (client.scheduled() || !record.buffer.empty()) {
    if (const std::optional<double> due = pieceDue(record))
      loop_.schedule(client, *due);
    else
      loop_.cancel(client);
  }
  if (!client.received.empty())
    loop_.callAgain(client);  // a line it received still waits for its turn
}

void Clients::releaseEnded() {
  for (const auto client : ended_)
    clients_.erase(client);
  ended_.clear();
}

void Clients::noteOwed() {
  for (ClientHandler& client : clients_) {
    ClientRecord& record = client.record;
    record.owedThrough = record.bytesReceived + record.connection->bytesWaiting();
  }
}

std::size_t Clients::finish(double now, bool readOwed) {
  releaseEnded();
  std::size_t stillSending = 0;
  for (ClientHandler& client : clients_) {
    // What was received, and what is owed, by the usual rules, a client at a time: memory stays
    // within a block and a piece.
    ClientRecord& record = client.record;
    Turn turn{output_, client.received, now};
    bool kept = true;
    do {
      const std::uint64_t received = record.bytesReceived;
      turn.mostToReceive =
          readOwed && record.owedThrough > received ? record.owedThrough - received : 0;
      turn.anyByteReceived = false;
      kept = pollClient(record, turn);
    } while (kept && turn.anyByteReceived);
    if (!kept)
      continue;  // reported
    handOverHeld(record, output_);
    if (readOwed && record.connection->bytesWaiting() > 0)
      ++stillSending;
  }
  output_.endOpenLine();
  return stillSending;
}

}  // namespace farspeak
