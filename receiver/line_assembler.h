// Turns the raw bytes one client sends into text on standard output: bytes that could control a
// terminal, or pass for another client's prefix, made visible; whole lines written at once; and a
// line that is slow to finish written in pieces.
#pragma once

#include <cstddef>
#include <optional>

#include "receiver/client_record.h"
#include "receiver/output_buffer.h"

namespace farspeak {

// A client holding this much without a line end is written out in pieces, so that one client
// streaming an endless line can neither hold up the others nor exhaust memory. No piece is longer.
inline constexpr std::size_t longestPiece = 65536;
// Seconds after the first byte of an unfinished line came when the part held is written anyway.
inline constexpr double pieceInterval = 0.5;

// One pass of the loop over its clients, as each client's turn sees it.
struct Pass {
  OutputBuffer& output;
  // The clock when the pass began (seconds, high-resolution mode): one reading serves the pass.
  double now = 0.0;
  bool anyByteReceived = false;
};

// A byte shown rather than passed: a backslash and its three decimal digits, written at `out`.
inline constexpr std::size_t escapeLength = 4;
void writeEscape(unsigned char byte, char* out);

// One turn of a client: reads what has arrived, up to one line, and writes it out when the line is
// complete, when the first byte it holds came more than half a second ago, or when it holds
// longestPiece bytes. A piece never ends inside a character, nor, with prefixes, on a CR whose
// next byte has not come, nor, with --ansi, inside a colour sequence. When the connection has ended
// it writes what the client still holds, reports the end on the console and returns false.
bool pollClient(ClientRecord& record, Pass& pass);

// When the part of a line the client holds falls due as a piece; nothing when it holds nothing.
std::optional<double> pieceDue(const ClientRecord& record);

// Writes every byte the client holds, whatever the time.
void handOverHeld(ClientRecord& record, OutputBuffer& output);

}  // namespace farspeak
