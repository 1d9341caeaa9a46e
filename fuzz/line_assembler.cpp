// The line assembler under a script of arrivals, clock steps, ends and polls. Whatever the script,
// standard output must carry exactly the escaped bytes that were read, in pieces that the line,
// half-second and size rules allow, each turn must read what those rules ask, and the buffer must
// stay bounded. The receiver reads in bulk, in whatever pieces the connection shows; every turn
// must do exactly what a turn that reads one byte at a time (peekByte, readByte) does.
//
// Script: each operation is chosen by one value taken from the input; its arguments follow.
#include "receiver/line_assembler.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "plinth/platform/platform.h"
#include "plinth/text/debug_dest.h"
#include "tests/receiver/fake_connection.h"
#include "tests/support/escape_model.h"

namespace {

using farspeak::FakeConnection;
using farspeak::longestPiece;
using plinth::platform::ServiceOverride;
using plinth::platform::Services;

// Keeps one input fast; the size bound is still crossed several times.
constexpr std::size_t mostBytesDelivered = 200'000;

// The loop's clock in milliseconds, as the script moves it; a run's clients come at any time.
constexpr std::uint64_t clockStart = 1000;
std::uint64_t loopClock = clockStart;

double seconds(std::uint64_t milliseconds) {
  return static_cast<double>(milliseconds) * 0.001;
}

// The turn as it once was, a byte at a time: the model the bulk turn is held to.
struct ByteAtATime {
  FakeConnection connection;
  std::string buffer;
  bool crSeen = false;
  bool lfSeen = false;
  double heldSince = 0.0;  // when the first byte of `buffer` was read
  bool lineOpen = false;   // the last write did not end its line

  // Returns false when the connection has ended; `written` gets what the turn wrote. A client that
  // goes with its line open has it ended by an LF, which `lineEnded` tells.
  bool turn(double now, std::string& written, bool& anyByteReceived, bool& lineEnded) {
    if (!connection.isConnected()) {
      written = buffer;
      lineOpen = buffer.empty() ? lineOpen : buffer.back() != '\n';
      lineEnded = lineOpen;
      if (lineEnded)
        written += '\n';
      buffer.clear();
      return false;
    }
    if (buffer.empty())
      heldSince = now;
    if (connection.peekByte() != -1) {
      do {
        anyByteReceived = true;
        const char byte = static_cast<char>(connection.readByte());
        test_support::appendEscaped(buffer, std::string_view(&byte, 1));
        crSeen = crSeen || byte == '\r';
        if (byte == '\n') {
          lfSeen = true;
          break;
        }
      } while (buffer.size() < longestPiece && connection.peekByte() != -1);
    }
    if (buffer.empty())
      return true;
    if (lfSeen || now - heldSince > farspeak::pieceInterval || buffer.size() >= longestPiece) {
      crSeen = lfSeen = false;
      written = buffer;
      lineOpen = buffer.back() != '\n';
      buffer.clear();
    }
    return true;
  }
};

struct Session {
  FakeConnection* connection = nullptr;  // owned by the record's counted reference
  farspeak::ClientRecord* record = nullptr;
  farspeak::OutputBuffer* outputBuffer = nullptr;
  ByteAtATime reference;
  std::string delivered;            // every byte that arrived, in order
  std::size_t consumed = 0;         // how many of them the assembler has read
  std::string expected;             // the escaped form of the bytes read
  std::string output;               // standard output, all writes joined
  std::string errorText;            // the console's standard error
  std::uint64_t heldSinceTick = 0;  // the turn that took the first byte held
  bool finalFlush = false;          // the flush now due may ignore the timing rules
  bool bigFlushInCall = false;
  bool orderlyEndRequested = false;
};

Session* session = nullptr;

bool captureOutput(const void* bytes, std::size_t count) {
  Session& s = *session;
  const std::string_view piece(static_cast<const char*>(bytes), count);
  FUZZ_REQUIRE(count > 0);
  // The buffer reaches the bound at most one escape (three more bytes) past it.
  FUZZ_REQUIRE(count <= longestPiece + 3);
  const std::size_t lineFeed = piece.find('\n');
  FUZZ_REQUIRE(lineFeed == std::string_view::npos || lineFeed == count - 1);
  // A piece of an unfinished line is due more than half a second after its first byte came.
  // Seconds are compared as doubles, so exactly 500 ms may fall on either side of 0.5 s.
  const bool pieceDue = loopClock - s.heldSinceTick >= 500;
  FUZZ_REQUIRE(lineFeed != std::string_view::npos || pieceDue || count >= longestPiece ||
               s.finalFlush);
  FUZZ_REQUIRE(s.errorText.empty());  // held bytes come before the closing line
  if (count >= longestPiece)
    s.bigFlushInCall = true;
  s.output.append(piece);
  return true;
}

bool captureError(const void* bytes, std::size_t count) {
  session->errorText.append(static_cast<const char*>(bytes), count);
  return true;
}

void deliver(Session& s, const std::string& bytes) {
  if (!s.connection->connected || s.delivered.size() + bytes.size() > mostBytesDelivered)
    return;
  s.connection->arrive(bytes);
  s.reference.connection.arrive(bytes);
  s.delivered += bytes;
}

void end(Session& s, plinth::ConnectionState how) {
  s.connection->end(how);
  s.reference.connection.end(how);
}

// A peer's orderly end reaches the receiver only after every byte it sent.
void endWhenDrained(Session& s) {
  if (s.orderlyEndRequested && s.connection->connected && s.connection->waiting() == 0)
    end(s, plinth::stateClosedByPeer);
}

// One pass of the main loop over this client; false once the record is gone.
bool poll(Session& s) {
  FakeConnection& connection = *s.connection;
  farspeak::ClientRecord& record = *s.record;
  const bool ended = !connection.connected;
  const std::size_t pendingBefore = connection.waiting();
  const std::size_t outputBefore = s.output.size();
  s.finalFlush = ended;
  s.bigFlushInCall = false;
  if (record.buffer.empty())
    s.heldSinceTick = loopClock;

  farspeak::Pass pass{*s.outputBuffer, seconds(loopClock)};
  const bool kept = farspeak::pollClient(record, pass);
  s.outputBuffer->writeHeld();
  const bool anyByteReceived = pass.anyByteReceived;

  std::string referenceWritten;
  bool referenceReceived = false;
  bool lineEnded = false;
  FUZZ_REQUIRE(
      s.reference.turn(seconds(loopClock), referenceWritten, referenceReceived, lineEnded) == kept);
  FUZZ_REQUIRE(s.output.substr(outputBefore) == referenceWritten);
  FUZZ_REQUIRE(referenceReceived == anyByteReceived);
  FUZZ_REQUIRE(s.reference.connection.waiting() == connection.waiting());
  if (kept) {
    FUZZ_REQUIRE(std::string_view(reinterpret_cast<const char*>(record.buffer.begin),
                                  record.buffer.size()) == s.reference.buffer);
    FUZZ_REQUIRE(record.crSeen == s.reference.crSeen && record.lfSeen == s.reference.lfSeen);
    if (!record.buffer.empty())
      FUZZ_REQUIRE(record.heldSince == s.reference.heldSince);
    FUZZ_REQUIRE(record.lineOpen == s.reference.lineOpen);
  }

  FUZZ_REQUIRE(kept == !ended);
  const std::size_t taken = pendingBefore - connection.waiting();
  if (ended) {
    FUZZ_REQUIRE(taken == 0);
    FUZZ_REQUIRE(record.buffer.empty());
    if (lineEnded)
      s.expected += '\n';  // the one byte the receiver adds
    const bool closed = connection.state == plinth::stateClosedByPeer;
    FUZZ_REQUIRE(s.errorText ==
                 std::string("Connection from 10.0.0.7") + (closed ? " closed\r\n" : " lost\r\n"));
    return false;
  }
  FUZZ_REQUIRE(s.errorText.empty());
  FUZZ_REQUIRE(anyByteReceived == (taken > 0));

  const std::string_view read = std::string_view(s.delivered).substr(s.consumed, taken);
  s.consumed += taken;
  test_support::appendEscaped(s.expected, read);
  const std::size_t lineFeed = read.find('\n');
  // At most one line per turn. Reading goes on until the line, the size bound, or nothing more.
  FUZZ_REQUIRE(lineFeed == std::string_view::npos || lineFeed == taken - 1);
  const bool lineRead = lineFeed != std::string_view::npos;
  if (!lineRead && connection.waiting() > 0)
    FUZZ_REQUIRE(s.bigFlushInCall);

  // What is still held is due neither as a line, nor by size, nor as a piece.
  const farspeak::ByteBuffer& buffer = record.buffer;
  if (!buffer.empty()) {
    FUZZ_REQUIRE(!lineRead);
    FUZZ_REQUIRE(buffer.size() < longestPiece);
    FUZZ_REQUIRE(loopClock - s.heldSinceTick <= 500);
  }
  FUZZ_REQUIRE(buffer.capacity() <= 2 * longestPiece);
  FUZZ_REQUIRE(!record.lfSeen);
  FUZZ_REQUIRE(
      record.crSeen ==
      (std::string_view(reinterpret_cast<const char*>(buffer.begin), buffer.size()).find('\r') !=
       std::string_view::npos));
  FUZZ_REQUIRE(s.output.size() + buffer.size() == s.expected.size());
  endWhenDrained(s);
  return true;
}

void runScript(Session& s, FuzzedDataProvider& script) {
  while (script.remaining_bytes() > 0) {
    switch (script.ConsumeIntegralInRange(0, 8)) {
      case 0:
        deliver(s, script.ConsumeBytesAsString(script.ConsumeIntegralInRange<std::size_t>(1, 64)));
        break;
      case 1: {  // a long run of one byte, to reach the size bound with a short input
        const char byte = script.ConsumeIntegral<char>();
        deliver(s, std::string(script.ConsumeIntegralInRange<std::size_t>(1, 70'000), byte));
        break;
      }
      case 2:
        loopClock += script.ConsumeIntegralInRange(0, 1200);
        break;
      case 3:
        s.orderlyEndRequested = true;
        endWhenDrained(s);
        break;
      case 4:
        if (s.connection->connected)
          end(s, script.ConsumeIntegral<plinth::ConnectionState>());
        break;
      case 6: {  // the pieces in which the socket hands over what arrived
        const auto chunk = script.ConsumeIntegralInRange<std::size_t>(0, 70);
        s.connection->chunk = chunk == 0 ? std::numeric_limits<std::size_t>::max() : chunk;
        break;
      }
      case 5:  // many passes, as a client streaming for a while meets them
        for (int pass = script.ConsumeIntegralInRange(1, 100); pass > 0; --pass) {
          if (!poll(s))
            return;
        }
        break;
      default:
        if (!poll(s))
          return;
        break;
    }
  }
  // The receiver, asked to stop, writes what each client still holds.
  s.finalFlush = true;
  farspeak::flushClient(*s.record, *s.outputBuffer);
  s.outputBuffer->writeHeld();
  FUZZ_REQUIRE(s.record->buffer.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  plinth::startConsole();
  ServiceOverride<bool (*)(const void*, std::size_t)> output(&Services::writeStandardOutput,
                                                             captureOutput);
  ServiceOverride<bool (*)(const void*, std::size_t)> error(&Services::writeStandardError,
                                                            captureError);
  loopClock = clockStart;
  Session s;
  session = &s;
  s.connection = new FakeConnection();
  {
    farspeak::OutputBuffer output;
    farspeak::ClientRecord record(s.connection);
    s.record = &record;
    s.outputBuffer = &output;
    FuzzedDataProvider script(data, size);
    runScript(s, script);
    FUZZ_REQUIRE(s.output == s.expected);
  }
  session = nullptr;
  return 0;
}
