// Turns the raw bytes one client sends into text on standard output: bytes that could control a
// terminal, or pass for another client's prefix, made visible; whole lines written at once; and a
// line that is slow to finish written in pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "receiver/client_record.h"
#include "receiver/output_buffer.h"
#include "receiver/receive_block.h"

namespace farspeak {

// A client holding this much without a line end is written out in pieces, so that one client
// streaming an endless line can neither hold up the others nor exhaust memory. No piece is longer.
inline constexpr std::size_t longestPiece = 65536;
// Seconds after the first byte of an unfinished line came when the part held is written anyway.
inline constexpr double pieceInterval = 0.5;
// A run of plain lines at least this long goes to standard output straight from the block it was
// received into; a shorter one is copied, since the whole 64 KiB block stays pinned until written.
inline constexpr std::size_t straightLeast = 4096;

// One turn of one client: where its text goes, the block its connection reads into, and what the
// turn may read.
struct Turn {
  OutputBuffer& output;
  ReceiveBlock& received;
  double now = 0.0;  // the loop's clock (seconds, high-resolution mode)
  // Over the memory budget, or at a stop, the turn may receive less; and after a read that found
  // less than it had room for, nothing more (the system has no more for now).
  std::size_t mostToReceive = SIZE_MAX;
  bool anyByteReceived = false;
};

// A byte shown rather than passed: a backslash and its three decimal digits, written at `out`.
inline constexpr std::size_t escapeLength = 4;
void writeEscape(unsigned char byte, char* out);

// One turn of a client: reads what has arrived, up to longestPiece bytes of it, and writes every
// whole line at once; the rest of a line is held, and written when the line is complete, when the
// first byte it holds came more than half a second ago, or when it holds longestPiece bytes. A
// piece never ends inside a character, nor, with prefixes, on a CR whose next byte has not come,
// nor, with --ansi, inside a colour sequence. When the connection has ended it writes what the
// client still holds, reports the end on the console and returns false.
bool pollClient(ClientRecord& record, Turn& turn);

// When the part of a line the client holds falls due as a piece; nothing when it holds nothing.
std::optional<double> pieceDue(const ClientRecord& record);

// Writes every byte the client holds, whatever the time.
void handOverHeld(ClientRecord& record, OutputBuffer& output);

}  // namespace farspeak
