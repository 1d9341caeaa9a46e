#include "receiver/line_assembler.h"

#include <algorithm>
#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace farspeak {
namespace {

constexpr unsigned char lastControl = 31;

// The first byte up to 31 (LF, CR or a control byte to escape) in [next, end), or end. Every other
// byte, 128 to 255 included, is plain text.
const unsigned char* findControl(const unsigned char* next, const unsigned char* end) {
#if defined(__SSE2__)
  const __m128i limit = _mm_set1_epi8(static_cast<char>(lastControl));
  // A byte is at most 31 when it is its own minimum with 31, compared unsigned.
  const auto controlsIn = [&limit](const unsigned char* at) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    return static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(bytes, limit), bytes)));
  };
  // Two blocks a round: most lines are longer than 16 bytes, and one test serves both.
  for (; end - next >= 32; next += 32) {
    if (const unsigned controls = controlsIn(next) | controlsIn(next + 16) << 16; controls != 0)
      return next + std::countr_zero(controls);
  }
  if (end - next >= 16) {
    if (const unsigned controls = controlsIn(next); controls != 0)
      return next + std::countr_zero(controls);
    next += 16;
  }
#endif
  for (; next != end; ++next) {
    if (*next <= lastControl)
      break;
  }
  return next;
}

// Control bytes other than CR and LF become a backslash and three decimal digits.
void appendEscaped(ByteBuffer& line, unsigned char byte) {
  const unsigned char escape[4] = {'\\', static_cast<unsigned char>('0' + byte / 100),
                                   static_cast<unsigned char>('0' + byte / 10 % 10),
                                   static_cast<unsigned char>('0' + byte % 10)};
  line.append(escape, sizeof escape);
}

// Reads what has arrived into `line`, which already holds `held` bytes of this client's line, until
// the line ends, the client has no more, or the line holds longestPiece bytes. Only appends: a
// console message on the way may write out what `line` holds before this line's bytes. True when
// it stopped because the client had no more.
bool readLine(ClientRecord& record, plinth::NetworkConnection& connection, ByteBuffer& line,
              std::size_t held, Pass& pass) {
  for (;;) {
    const std::span<const unsigned char> received = connection.peekBytes();
    if (received.empty())
      return true;
    pass.anyByteReceived = true;
    const unsigned char* next = received.data();
    const unsigned char* const end = next + received.size();
    bool lineEnded = false;
    while (!lineEnded && held < longestPiece && next < end) {
      const auto plain = static_cast<std::size_t>(
          findControl(next, next + std::min<std::size_t>(longestPiece - held, end - next)) - next);
      line.append(next, plain);
      next += plain;
      held += plain;
      if (held >= longestPiece || next == end)
        break;
      const unsigned char byte = *next++;
      if (byte == '\n') {
        line.append(byte);
        record.lfSeen = true;
        lineEnded = true;  // at most one line per turn; the rest waits for the next pass
      } else if (byte == '\r') {
        line.append(byte);
        record.crSeen = true;
      } else {
        appendEscaped(line, byte);
        held += 3;
      }
      ++held;
    }
    connection.consume(static_cast<std::size_t>(next - received.data()));
    if (lineEnded || held >= longestPiece)
      return false;
  }
}

void markWritten(ClientRecord& record) {
  record.crSeen = record.lfSeen = false;
}

// Reads, and writes what is due. False when the connection turned out to have ended.
bool serveTurn(ClientRecord& record, plinth::NetworkConnection& connection, Pass& pass) {
  // A line that starts in this turn is put together where it will be written from; one that the
  // client already holds part of grows where that part is.
  const bool direct = record.buffer.empty();
  if (direct)
    record.heldSince = pass.now;  // what this turn keeps back is held from now
  const bool drained =
      direct ? readLine(record, connection, pass.output.bytes(), 0, pass)
             : readLine(record, connection, record.buffer, record.buffer.size(), pass);
  const std::size_t held = direct ? pass.output.assembledSize() : record.buffer.size();
  if (held > 0) {
    if (record.lfSeen || pass.now - record.heldSince > pieceInterval || held >= longestPiece) {
      markWritten(record);
      if (direct) {
        pass.output.keepAssembled(record);
      } else {
        pass.output.keep(record, record.buffer);
        record.buffer.clear();
      }
    } else if (direct) {
      record.buffer.append(pass.output.assembled(), held);
      pass.output.dropAssembled();
    }
  }
  // A client with nothing more to say may have just ended, which is reported at once.
  return !drained || connection.isConnected();
}

}  // namespace

void flushClient(ClientRecord& record, OutputBuffer& output) {
  if (record.buffer.empty())
    return;
  markWritten(record);
  output.keep(record, record.buffer);
  record.buffer.clear();
}

bool pollClient(ClientRecord& record, Pass& pass) {
  plinth::NetworkConnection& connection = *record.connection;
  if (connection.isConnected() && serveTurn(record, connection, pass))
    return true;
  // What the client sent before it went is its last words: write them, and end its line, before
  // the report.
  flushClient(record, pass.output);
  pass.output.endLine(record);
  const bool closedByPeer = connection.getState() == plinth::stateClosedByPeer;
  reportClient(record, "Connection from ", closedByPeer ? " closed\n" : " lost\n",
               pass.output.format());
  return false;
}

}  // namespace farspeak
