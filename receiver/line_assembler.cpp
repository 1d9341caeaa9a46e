#include "receiver/line_assembler.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string_view>

#include "plinth/text/digits.h"
#include "plinth/text/utf8.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// What is escaped, as a backslash and three decimal digits per byte:
// - the C0 controls (bytes 0 to 31) but LF and CR, and the C1 controls in UTF-8 (C2 80 to C2 9F),
//   which terminals may take as the start of a control sequence;
// - with prefixes, what would let a client's text pass for a line of another client's to a reader
//   that splits lines on it: a CR not followed by LF, the line and paragraph separators (E2 80 A8,
//   E2 80 A9), and "…" (E2 80 A6) right after a prefix, where it would read as a continuation mark.
// Every other byte passes unchanged. With --ansi, a colour sequence (SGR: ESC [, parameters, m, at
// most 64 bytes) passes too, and a "…" after nothing but colour sequences still starts the piece,
// since they show as nothing; every other ESC is escaped as before.

namespace farspeak {
namespace {

constexpr unsigned char lastControl = 31;
constexpr unsigned char c1Lead = 0xC2;         // lead byte of U+0080 to U+00BF
constexpr unsigned char separatorLead = 0xE2;  // lead byte of U+2000 to U+2FFF
constexpr unsigned char escapeByte = 0x1B;
constexpr std::ptrdiff_t longestColour = 64;  // bytes of a colour sequence that passes, ESC to m

bool isContinuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

// The first byte in [next, end) that may need escaping: one up to 31 but LF (and but CR without
// prefixes, where it passes), a C1 lead, and with prefixes a separator lead. Every other byte is
// plain text, so that a run of plain lines is one stretch.
const unsigned char* findSpecial(const unsigned char* next, const unsigned char* end,
                                 bool prefixed) {
  const unsigned char otherLead = prefixed ? separatorLead : c1Lead;
  const unsigned char passing = prefixed ? '\n' : '\r';  // with LF, which always passes
#if defined(__SSE2__)
  const __m128i limit = _mm_set1_epi8(static_cast<char>(lastControl));
  const __m128i c1 = _mm_set1_epi8(static_cast<char>(c1Lead));
  const __m128i other = _mm_set1_epi8(static_cast<char>(otherLead));
  const __m128i lineFeed = _mm_set1_epi8('\n');
  const __m128i alsoPassing = _mm_set1_epi8(static_cast<char>(passing));
  // A byte is at most 31 when it is its own minimum with 31, compared unsigned.
  const auto specialsIn = [&](const unsigned char* at) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i leads = _mm_or_si128(_mm_cmpeq_epi8(bytes, c1), _mm_cmpeq_epi8(bytes, other));
    const __m128i passes =
        _mm_or_si128(_mm_cmpeq_epi8(bytes, lineFeed), _mm_cmpeq_epi8(bytes, alsoPassing));
    const __m128i controls =
        _mm_andnot_si128(passes, _mm_cmpeq_epi8(_mm_min_epu8(bytes, limit), bytes));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(controls, leads)));
  };
  // Two blocks a round: most lines are longer than 16 bytes, and one test serves both.
  for (; end - next >= 32; next += 32) {
    if (const unsigned found = specialsIn(next) | specialsIn(next + 16) << 16; found != 0)
      return next + std::countr_zero(found);
  }
  if (end - next >= 16) {
    if (const unsigned found = specialsIn(next); found != 0)
      return next + std::countr_zero(found);
    next += 16;
  }
#endif
  for (; next != end; ++next) {
    const bool control = *next <= lastControl && *next != '\n' && *next != passing;
    if (control || *next == c1Lead || *next == otherLead)
      break;
  }
  return next;
}

bool isColourParameter(unsigned char byte) {
  return (byte >= '0' && byte <= '9') || byte == ';' || byte == ':';
}

// What the bytes from an ESC at `at` make, the client's bytes known up to `end`: a colour sequence
// of `length` bytes, none, or the start of one that bytes still to come may finish.
struct ColourSequence {
  enum Kind { none, unfinished, complete };
  Kind kind = none;
  std::size_t length = 0;
};

ColourSequence readColour(const unsigned char* at, const unsigned char* end) {
  const unsigned char* next = at + 1;
  if (next == end)
    return {ColourSequence::unfinished};
  if (*next != '[')
    return {};
  for (++next; next < end && next - at < longestColour; ++next) {
    if (*next == 'm')
      return {ColourSequence::complete, static_cast<std::size_t>(next + 1 - at)};
    if (!isColourParameter(*next))
      return {};
  }
  return next == end && next - at < longestColour ? ColourSequence{ColourSequence::unfinished}
                                                  : ColourSequence{};
}

// The ESC of a colour sequence that bytes in [begin, end) end inside of, if they do.
const unsigned char* unfinishedColour(const unsigned char* begin, const unsigned char* end) {
  for (const unsigned char* at = end; at > begin && end - at < longestColour;) {
    --at;
    if (*at == escapeByte)
      return readColour(at, end).kind == ColourSequence::unfinished ? at : nullptr;
    if (!isColourParameter(*at) && *at != '[')
      return nullptr;
  }
  return nullptr;
}

// Where a piece may end instead of at `cut` so as not to split a character that is valid so far:
// `cut`, or the start of that character. The client's bytes are known from `begin` to `end`.
const unsigned char* characterBoundary(const unsigned char* begin, const unsigned char* cut,
                                       const unsigned char* end) {
  if (cut == begin)
    return cut;
  const unsigned char* lead = cut - 1;
  while (lead > begin && cut - lead < 4 && isContinuation(*lead))
    --lead;
  if (*lead < 0x80 || isContinuation(*lead))
    return cut;
  const plinth::Utf8Sequence character =
      plinth::readUtf8({reinterpret_cast<const char*>(lead), std::min<std::size_t>(4, end - lead)});
  const bool split =
      character.kind == plinth::Utf8Sequence::unfinished ||
      (character.kind == plinth::Utf8Sequence::character && lead + character.length > cut);
  return split ? lead : cut;
}

// How far an unfinished line held in [begin, end) may be written before more bytes come: not into
// a character, nor with prefixes past a CR that an LF may still follow, nor with --ansi into a
// colour sequence.
const unsigned char* pieceEnd(const unsigned char* begin, const unsigned char* end,
                              const OutputFormat& format) {
  if (format.prefixed() && end > begin && end[-1] == '\r')
    return end - 1;
  if (format.ansi) {
    if (const unsigned char* colour = unfinishedColour(begin, end))
      return colour;
  }
  return characterBoundary(begin, end, end);
}

// How the bytes at a byte findSpecial stopped at are written: how many they are, and whether they
// are escaped, or are a colour sequence that passes. The client's bytes are known up to `end`.
struct Special {
  std::size_t length = 1;
  bool escaped = false;
  bool colour = false;
};

Special readSpecial(const unsigned char* at, const unsigned char* end, const OutputFormat& format,
                    bool startsPiece) {
  const auto following = [&](std::size_t index) { return at + index < end ? at[index] : 0; };
  const unsigned char byte = at[0];
  if (byte == '\n')
    return {};
  if (byte == '\r')  // a line end is never cut in two
    return following(1) == '\n' ? Special{2, false} : Special{1, format.prefixed()};
  if (byte == escapeByte && format.ansi) {
    // One still unfinished is written only when it falls due: escaped, as any other ESC.
    const ColourSequence colour = readColour(at, end);
    if (colour.kind == ColourSequence::complete)
      return {colour.length, false, true};
  }
  if (byte <= lastControl)
    return {1, true};
  if (byte == c1Lead) {
    // A lead whose next byte has not come is written only when it falls due: escaped, since a 9B
    // that came later would make a control sequence on the same line.
    if (at + 1 == end)
      return {1, true};
    return following(1) >= 0x80 && following(1) <= 0x9F ? Special{2, true} : Special{};
  }
  const unsigned char last = following(2);
  const bool separator =
      following(1) == 0x80 && (last == 0xA8 || last == 0xA9 || (last == 0xA6 && startsPiece));
  return separator ? Special{3, true} : Special{};
}

void appendEscaped(ByteBuffer& out, unsigned char byte) {
  char escape[escapeLength];
  writeEscape(byte, escape);
  out.append({escape, escapeLength});
}

// Where escapePiece stopped, and whether a colour sequence passed on the way.
struct Escaped {
  const unsigned char* reached = nullptr;
  bool coloured = false;
};

// Appends the escaped form of the client's bytes from `begin`, where a piece starts, towards
// `stop` to `out`, and returns where it stopped: at `stop`, or before it, at the start of a
// character or an escape, where the piece would grow past longestPiece bytes. The bytes up to `end`
// tell how the last ones before `stop` read.
Escaped escapePiece(ByteBuffer& out, const unsigned char* begin, const unsigned char* stop,
                    const unsigned char* end, const OutputFormat& format) {
  const bool prefixed = format.prefixed();
  std::size_t room = longestPiece;
  bool coloured = false;
  bool startsPiece = true;  // nothing written yet but colour sequences
  const unsigned char* next = begin;
  while (next < stop) {
    const unsigned char* const special = findSpecial(next, stop, prefixed);
    if (static_cast<std::size_t>(special - next) > room) {
      const unsigned char* const cut = characterBoundary(begin, next + room, end);
      if (cut >= next)
        out.append(next, static_cast<std::size_t>(cut - next));
      else  // a lead byte just written as plain text goes with its character
        out.truncate(out.size() - static_cast<std::size_t>(next - cut));
      return {cut, coloured};
    }
    out.append(next, static_cast<std::size_t>(special - next));
    room -= static_cast<std::size_t>(special - next);
    startsPiece = startsPiece && special == next;
    next = special;
    if (next == stop)
      break;
    const Special found = readSpecial(next, end, format, startsPiece);
    const std::size_t size = found.escaped ? 4 * found.length : found.length;
    if (size > room)
      return {next, coloured};
    for (std::size_t index = 0; index < found.length; ++index) {
      if (found.escaped)
        appendEscaped(out, next[index]);
      else
        out.append(next[index]);
    }
    room -= size;
    next += found.length;
    coloured = coloured || found.colour;
    startsPiece = startsPiece && found.colour;
  }
  return {next, coloured};
}

// Writes one piece of the client's line, from `begin` towards `stop` (see escapePiece).
const unsigned char* writePiece(ClientRecord& record, OutputBuffer& output,
                                const unsigned char* begin, const unsigned char* stop,
                                const unsigned char* end) {
  if (output.format().json) {
    // A record takes the client's bytes as they are: a piece holds at most longestPiece of them.
    const unsigned char* cut = stop;
    if (static_cast<std::size_t>(stop - begin) > longestPiece)
      cut = characterBoundary(begin, begin + longestPiece, end);
    output.writeText(record,
                     {reinterpret_cast<const char*>(begin), static_cast<std::size_t>(cut - begin)});
    return cut;
  }
  ByteBuffer& out = output.startPiece(record);
  const Escaped piece = escapePiece(out, begin, stop, end, output.format());
  output.endPiece(record, piece.coloured);
  return piece.reached;
}

// Writes [begin, end), all of it, in as many pieces as it takes; nothing follows it for now.
void writeInPieces(ClientRecord& record, OutputBuffer& output, const unsigned char* begin,
                   const unsigned char* end) {
  while (begin < end)
    begin = writePiece(record, output, begin, end, end);
}

void emptyHeld(ClientRecord& record) {
  record.buffer.release();  // an idle client keeps no storage
  record.crSeen = false;
}

// Writes the unfinished line the client holds, as far as it may end a piece; the rest stays held,
// as held from now. Bytes that no piece may end with (the start of a character, an undecided CR,
// the start of a colour sequence) go as they stand once they are due themselves: a client that
// never finishes them holds nothing for ever.
void writeHeldPiece(ClientRecord& record, OutputBuffer& output, double now) {
  ByteBuffer& held = record.buffer;
  const unsigned char* stop = pieceEnd(held.begin(), held.end(), output.format());
  if (stop == held.begin())
    stop = held.end();
  held.dropFront(writePiece(record, output, held.begin(), stop, held.end()));
  if (held.empty()) {
    emptyHeld(record);
  } else {
    held.shrink();
    record.heldSince = now;
    record.crSeen = false;  // as after any write
  }
}

// What the connection received and the turn has not taken: the block, read afresh when it is empty
// and the turn may receive; empty when nothing is there, or the connection has just ended.
std::span<const unsigned char> receivedBytes(ClientRecord& record, Turn& turn) {
  ReceiveBlock& block = turn.received;
  if (block.empty() && turn.mostToReceive > 0) {
    const std::span<unsigned char> room = block.room(turn.mostToReceive);
    const plinth::NetworkConnection::Read read =
        record.connection->readSome(room.data(), static_cast<std::int32_t>(room.size()));
    if (read.kind != plinth::NetworkConnection::Read::bytes) {
      block.release();
      return {};
    }
    block.filled(read.count);
    record.bytesReceived += static_cast<std::uint64_t>(read.count);
    const auto count = static_cast<std::size_t>(read.count);
    turn.mostToReceive = count < room.size() ? 0 : turn.mostToReceive - count;
  }
  return block.held();
}

// The last line feed in [begin, begin + count), or nothing: back from the end, sixteen bytes at a
// time, since the last line ends within a line's length of it.
const unsigned char* lastLineFeed(const unsigned char* begin, std::size_t count) {
  const unsigned char* at = begin + count;
#if defined(__SSE2__)
  const __m128i lineFeed = _mm_set1_epi8('\n');
  for (; at - begin >= 16; at -= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at - 16));
    if (const auto found =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, lineFeed))))
      return at - 16 + (31 - std::countl_zero(found));
  }
#endif
  while (at != begin) {
    if (*--at == '\n')
      return at;
  }
  return nullptr;
}

// Writes whole lines of the client's, [begin, end), from its received block: with prefixes, JSON
// records or clients' colours each line on its own, since each starts with its prefix, is a record,
// or ends its colours; otherwise the run at once, its plain lines straight from the block when they
// are many.
void writeLines(ClientRecord& record, Turn& turn, const unsigned char* begin,
                const unsigned char* end) {
  const OutputFormat& format = turn.output.format();
  if (!format.prefixed() && !format.json && !format.ansi) {
    const unsigned char* const plain = findSpecial(begin, end, false);
    const unsigned char* const lineFeed =
        plain == end ? end - 1 : lastLineFeed(begin, static_cast<std::size_t>(plain - begin));
    if (lineFeed != nullptr && static_cast<std::size_t>(lineFeed - begin) >= straightLeast) {
      turn.output.writeStraight(record, {begin, lineFeed + 1}, turn.received);
      begin = lineFeed + 1;
    }
    return writeInPieces(record, turn.output, begin, end);
  }
  while (begin < end) {
    const auto* lineEnd = static_cast<const unsigned char*>(
                              std::memchr(begin, '\n', static_cast<std::size_t>(end - begin))) +
                          1;
    writeInPieces(record, turn.output, begin, lineEnd);
    begin = lineEnd;
  }
}

// Hands over what has arrived, up to longestPiece bytes of the client's a turn: every whole line
// of it at once, the rest held; a held line is finished first. Then writes what is due. False when
// the connection turned out to have ended.
bool serveTurn(ClientRecord& record, Turn& turn) {
  ByteBuffer& held = record.buffer;
  bool gaveAll = false;
  for (std::size_t taken = 0; taken < longestPiece && held.size() < longestPiece;) {
    const std::span<const unsigned char> received = receivedBytes(record, turn);
    if (received.empty()) {
      gaveAll = true;
      break;
    }
    turn.anyByteReceived = true;
    const unsigned char* const begin = received.data();
    std::size_t count = std::min(received.size(), longestPiece - std::max(taken, held.size()));
    const unsigned char* const lineFeed =
        held.empty() ? lastLineFeed(begin, count)
                     : static_cast<const unsigned char*>(std::memchr(begin, '\n', count));
    if (lineFeed != nullptr)
      count = static_cast<std::size_t>(lineFeed - begin) + 1;
    if (lineFeed != nullptr && held.empty()) {
      writeLines(record, turn, begin, begin + count);  // straight from what was received
    } else {
      if (held.empty())
        record.heldSince = turn.now;
      record.crSeen = record.crSeen || std::memchr(begin, '\r', count) != nullptr;
      held.append(begin, count);
    }
    turn.received.take(count);
    taken += count;
    if (lineFeed != nullptr && !held.empty())
      handOverHeld(record, turn.output);  // the line it held is whole
  }
  if (!held.empty() &&
      (held.size() >= longestPiece || turn.now > record.heldSince + pieceInterval)) {
    writeHeldPiece(record, turn.output, turn.now);
  }
  // A client with nothing more to say may have just ended, which is reported at once.
  return !gaveAll || record.connection->isConnected();
}

}  // namespace

void writeEscape(unsigned char byte, char* out) {
  out[0] = '\\';
  plinth::placeDigits(byte, 10, out + 1, escapeLength - 1);
}

std::optional<double> pieceDue(const ClientRecord& record) {
  if (record.buffer.empty())
    return std::nullopt;
  return record.heldSince + pieceInterval;
}

void handOverHeld(ClientRecord& record, OutputBuffer& output) {
  if (record.buffer.empty())
    return;
  writeInPieces(record, output, record.buffer.begin(), record.buffer.end());
  emptyHeld(record);
}

bool pollClient(ClientRecord& record, Turn& turn) {
  plinth::NetworkConnection& connection = *record.connection;
  if (connection.isConnected() && serveTurn(record, turn))
    return true;
  // What the client sent before it went is its last words: write them, and end its line, before
  // the report.
  OutputBuffer& output = turn.output;
  handOverHeld(record, output);
  output.endLine(record);
  const bool closedByPeer = connection.getState() == plinth::stateClosedByPeer;
  if (output.format().json)
    output.writeEvent(record, closedByPeer ? "close" : "lost");
  reportClient(record, "Connection from ", closedByPeer ? " closed\n" : " lost\n", output.format());
  return false;
}

}  // namespace farspeak
