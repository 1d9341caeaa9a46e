// Turns the raw bytes one client sends into text on standard output: control bytes made visible,
// whole lines written at once, and a line that is slow to finish written in pieces.
#pragma once

#include <cstddef>

#include "plinth/core/counted_ref.h"
#include "plinth/net/network_connection.h"

namespace farspeak {

// A growable byte array whose storage is kept across flushes, so a client in steady state causes
// no allocation. Storage grows by doubling from 1024 bytes; a copy holds exactly its bytes.
// Running out of memory writes "Out of memory!" and ends the process.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer& other);
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer();

  void append(unsigned char byte) {
    if (end == capacityEnd)
      grow();
    *end++ = byte;
  }
  std::size_t size() const { return static_cast<std::size_t>(end - begin); }
  std::size_t capacity() const { return static_cast<std::size_t>(capacityEnd - begin); }
  bool empty() const { return end == begin; }
  void clear() { end = begin; }

  unsigned char* begin = nullptr;
  unsigned char* capacityEnd = nullptr;
  unsigned char* end = nullptr;

 private:
  void grow();
};

struct ClientRecord {
  explicit ClientRecord(const plinth::CountedRef<plinth::NetworkConnection>& client)
      : connection(client) {}

  plinth::CountedRef<plinth::NetworkConnection> connection;
  bool crSeen = false;  // a CR since the last flush
  bool lfSeen = false;  // an LF since the last flush: forces the flush
  double lastFlushTime = 0.0;
  ByteBuffer buffer;
};

// A client holding this much without a line end is written out in pieces, so that one client
// streaming an endless line can neither hold up the others nor exhaust memory.
inline constexpr std::size_t longestPiece = 65536;

// One turn of a client: reads what has arrived, up to one line, and writes it out when the line is
// complete, when more than half a second has passed since this client's previous write, or when
// the buffer reaches longestPiece. Sets `anyByteReceived` when it reads a byte. When the connection
// has ended it writes what it still holds, reports the end on the console and returns false.
bool pollClient(ClientRecord& record, bool& anyByteReceived);

// Writes the bytes a client still holds, whatever the time.
void flushClient(ClientRecord& record);

}  // namespace farspeak
