#include "receiver/line_assembler.h"

#include <cstring>
#include <new>
#include <typeinfo>

#include "plinth/core/clock.h"
#include "plinth/net/internet_connection.h"
#include "plinth/platform/platform.h"
#include "plinth/text/text_writer.h"

namespace farspeak {
namespace {

constexpr std::size_t firstCapacity = 1024;
constexpr double pieceInterval = 0.5;  // seconds between pieces of an unfinished line

[[noreturn]] void outOfMemory() {
  plinth::console().writeText("Out of memory!\n");
  throw std::bad_alloc();  // nothing catches it: the process ends
}

// Control bytes other than CR and LF become a backslash and three decimal digits.
void appendEscaped(ByteBuffer& buffer, unsigned char byte) {
  buffer.append('\\');
  buffer.append(static_cast<unsigned char>('0' + byte / 100));
  buffer.append(static_cast<unsigned char>('0' + byte / 10 % 10));
  buffer.append(static_cast<unsigned char>('0' + byte % 10));
}

void flush(ClientRecord& record, double now) {
  record.lastFlushTime = now;
  record.crSeen = record.lfSeen = false;
  plinth::platform::services.writeStandardOutput(record.buffer.begin, record.buffer.size());
  record.buffer.clear();
}

// Reads what has arrived, up to one line or longestPiece bytes, into the record's buffer.
template <typename Connection>
void readLine(ClientRecord& record, Connection& connection, bool& anyByteReceived) {
  if (connection.peekByte() != -1) {
    do {
      anyByteReceived = true;
      const int byte = connection.readByte();
      if (byte < 0)
        break;  // the byte peekByte held is always there; this is only a guard
      if (byte >= 32 || byte == '\n' || byte == '\r') {
        record.buffer.append(static_cast<unsigned char>(byte));
        if (byte == '\r')
          record.crSeen = true;
        if (byte == '\n') {
          record.lfSeen = true;
          break;  // at most one line per turn; the rest waits for the next pass
        }
      } else {
        appendEscaped(record.buffer, static_cast<unsigned char>(byte));
      }
    } while (record.buffer.size() < longestPiece && connection.peekByte() != -1);
  }
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

void ByteBuffer::grow() {
  const std::size_t oldCapacity = capacity();
  const std::size_t newCapacity = begin == nullptr ? firstCapacity : 2 * oldCapacity;
  if (newCapacity <= oldCapacity)
    return;
  const std::size_t held = size();
  auto* storage =
      static_cast<unsigned char*>(plinth::platform::services.reallocate(begin, newCapacity));
  if (storage == nullptr)
    outOfMemory();
  begin = storage;
  end = begin + held;
  capacityEnd = begin + newCapacity;
}

void flushClient(ClientRecord& record) {
  if (!record.buffer.empty())
    flush(record, record.lastFlushTime);
}

bool pollClient(ClientRecord& record, bool& anyByteReceived) {
  plinth::NetworkConnection& connection = *record.connection;
  if (!connection.isConnected()) {
    // What the client sent before it went is its last words: write them before the report.
    flushClient(record);
    const bool closedByPeer = connection.getState() == plinth::stateClosedByPeer;
    plinth::console()
        .writeText("Connection from ")
        .writeWideText(connection.getAddress())
        .writeText(closedByPeer ? " closed\n" : " lost\n");
    return false;
  }

  // Every client of the receiver is a TCP connection; reading it by its own type lets the byte
  // loop inline instead of making two virtual calls a byte.
  if (typeid(connection) == typeid(plinth::InternetConnection)) {
    readLine(record, static_cast<plinth::InternetConnection&>(connection), anyByteReceived);
  } else {
    readLine(record, connection, anyByteReceived);
  }

  if (record.buffer.empty())
    return true;
  const double now = plinth::getSeconds(false);
  if (record.lfSeen || now - record.lastFlushTime > pieceInterval ||
      record.buffer.size() >= longestPiece) {
    flush(record, now);
  }
  return true;
}

}  // namespace farspeak
