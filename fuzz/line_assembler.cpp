// The line assembler under a script of arrivals, clock steps, ends and polls, with and without
// prefixes and --ansi. The receiver reads in bulk, in whatever pieces the connection shows, and
// escapes whole runs at once; every turn must write exactly what a model turn writes that reads a
// byte at a time and grows each piece a character at a time. The model's pieces must hold every
// byte read, once and in order, each written only as the line, size and half-second rules (or the
// client's end) allow, none longer than longestPiece; and the receiver's buffer must stay bounded
// and hold no storage while empty. Whatever the model says, no ESC reaches the output but one that
// starts a well-formed colour sequence, with --ansi only, and no colour is left on at a line end or
// where a turn's output stops.
//
// A second script runs several clients through the loop's Clients, pieces falling due as the clock
// moves: after each turn, a client's timer must be set exactly when it holds bytes, at the time
// its piece falls due.
//
// Script: the first value chooses the script; then each operation is chosen by one value taken
// from the input, and its arguments follow.
#include "receiver/line_assembler.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "plinth/platform/platform.h"
#include "plinth/text/debug_dest.h"
#include "plinth/text/utf8.h"
#include "receiver/receiver.h"
#include "tests/receiver/fake_connection.h"

namespace {

using farspeak::FakeConnection;
using farspeak::longestPiece;
using plinth::platform::ServiceOverride;
using plinth::platform::Services;

// Keeps one input fast; the size bound is still crossed several times.
constexpr std::size_t mostBytesDelivered = 200'000;
constexpr std::string_view tag = "[10.0.0.7:50000] ";
constexpr std::string_view mark = "\xE2\x80\xA6";

// The loop's clock in milliseconds, as the script moves it; a run's clients come at any time.
constexpr std::uint64_t clockStart = 1000;
std::uint64_t loopClock = clockStart;

double seconds(std::uint64_t milliseconds) {
  return static_cast<double>(milliseconds) * 0.001;
}

std::string escapedBytes(std::string_view bytes) {
  std::string text;
  for (const char byte : bytes) {
    const auto value = static_cast<unsigned char>(byte);
    text += '\\';
    text += static_cast<char>('0' + value / 100);
    text += static_cast<char>('0' + value / 10 % 10);
    text += static_cast<char>('0' + value % 10);
  }
  return text;
}

// No ESC but one that starts a colour sequence (with --ansi only: ESC [, parameters, m, 64 bytes
// at most), and no colour left on at a line end or at the end of `out`, where a piece ends.
void checkColours(std::string_view out, bool ansi) {
  bool colourOn = false;
  for (std::size_t at = 0; at < out.size(); ++at) {
    if (out[at] == '\n')
      FUZZ_REQUIRE(!colourOn);
    if (out[at] != '\x1b')
      continue;
    const std::size_t end = out.find_first_not_of("0123456789;:", at + 2);
    FUZZ_REQUIRE(ansi && out.substr(at, 2) == "\x1b[" && end != std::string_view::npos &&
                 out[end] == 'm' && end + 1 - at <= 64);
    colourOn = out.substr(at, end + 1 - at) != "\x1b[0m";
    at = end;
  }
  FUZZ_REQUIRE(!colourOn);
}

// The model: the turn as rules, a byte and a character at a time.
struct Model {
  FakeConnection connection;
  bool prefixed = false;
  bool ansi = false;
  std::string held;
  double heldSince = 0.0;
  bool lineOpen = false;
  std::string written;  // the bytes of every piece written, as the client sent them
  // Bytes a read took from the socket that no turn has handed over yet.
  std::size_t blockLeft = 0;

  // Whether the turn may take another byte: one a read brought, or one a new read brings. A read
  // takes at most a block and what the socket hands over at once; after a read that came back
  // short of a block, the turn reads no more.
  bool nextByte(bool& mayRead) {
    if (blockLeft == 0 && mayRead && connection.waiting() > 0) {
      const std::size_t block = farspeak::ReceiveBlock::blockSize;
      blockLeft = std::min({connection.waiting(), connection.chunk, block});
      mayRead = blockLeft == block;
    }
    if (blockLeft == 0)
      return false;
    --blockLeft;
    return true;
  }

  // What a piece never splits, at `at` of `text` (the client's bytes known so far), and how it is
  // written: a character valid so far, a line end, a colour sequence, or an escape. `startsPiece`
  // when only colour sequences come before it in its piece.
  struct Unit {
    std::size_t length = 1;
    std::string out;
    bool colour = false;
  };
  static bool isColourParameter(unsigned char byte) {
    return (byte >= '0' && byte <= '9') || byte == ';' || byte == ':';
  }
  Unit unitAt(std::string_view text, std::size_t at, bool startsPiece) const {
    const auto byte = [&](std::size_t index) {
      return at + index < text.size() ? static_cast<unsigned char>(text[at + index]) : 0;
    };
    const auto escape = [&](std::size_t length) {
      return Unit{length, escapedBytes(text.substr(at, length))};
    };
    if (ansi && byte(0) == 0x1B && byte(1) == '[') {
      std::size_t length = 2;
      while (at + length < text.size() && isColourParameter(byte(length)))
        ++length;
      if (at + length < text.size() && byte(length) == 'm' && length + 1 <= 64)
        return {length + 1, std::string(text.substr(at, length + 1)), true};
    }
    if (byte(0) == '\r' && byte(1) == '\n')
      return {2, "\r\n"};
    if (byte(0) == '\r')
      return prefixed ? escape(1) : Unit{1, "\r"};
    if (byte(0) < 32 && byte(0) != '\n')
      return escape(1);
    if (byte(0) == 0xC2 && at + 1 == text.size())
      return escape(1);  // a lead written before its next byte came
    if (byte(0) == 0xC2 && byte(1) >= 0x80 && byte(1) <= 0x9F)
      return escape(2);
    if (prefixed && byte(0) == 0xE2 && byte(1) == 0x80 &&
        (byte(2) == 0xA8 || byte(2) == 0xA9 || (byte(2) == 0xA6 && startsPiece)))
      return escape(3);
    const plinth::Utf8Sequence character = plinth::readUtf8(text.substr(at, 4));
    const std::size_t length =
        character.kind == plinth::Utf8Sequence::invalid ? 1 : character.length;
    return {length, std::string(text.substr(at, length))};
  }

  // How much of `held` may end a piece before more comes.
  std::size_t pieceEnd() const {
    if (prefixed && !held.empty() && held.back() == '\r')
      return held.size() - 1;
    // The start of a colour sequence: ESC, then '[' and parameters, short of 64 bytes.
    for (std::size_t back = 1; ansi && back < 64 && back <= held.size(); ++back) {
      const std::string_view tail = std::string_view(held).substr(held.size() - back);
      if (tail[0] == '\x1b' &&
          (back == 1 || (tail[1] == '[' && std::all_of(tail.begin() + 2, tail.end(), [](char byte) {
                           return isColourParameter(static_cast<unsigned char>(byte));
                         }))))
        return held.size() - back;
    }
    for (std::size_t back = 1; back <= 3 && back <= held.size(); ++back) {
      const std::size_t at = held.size() - back;
      if (plinth::readUtf8(std::string_view(held).substr(at)).kind ==
          plinth::Utf8Sequence::unfinished)
        return at;
    }
    return held.size();
  }

  // One piece from the start of `held`, at most `stop` bytes of it, as the output shows it.
  std::string piece(std::size_t stop) {
    std::string body;
    std::size_t taken = 0;
    bool coloured = false;
    bool startsPiece = true;
    std::size_t lineEnd = 0;  // the size of the line end written last, if the piece ends with it
    while (taken < stop) {
      const Unit unit = unitAt(held, taken, startsPiece);
      if (body.size() + unit.out.size() > longestPiece)
        break;
      body += unit.out;
      taken += unit.length;
      coloured = coloured || unit.colour;
      startsPiece = startsPiece && unit.colour;
      lineEnd = unit.out == "\n" || unit.out == "\r\n" ? unit.out.size() : 0;
    }
    FUZZ_REQUIRE(taken > 0 && taken <= stop);
    // Colour never outlives its piece, and the reset is not counted in its size.
    if (coloured)
      body.insert(body.size() - lineEnd, "\x1b[0m");
    std::string out;
    if (prefixed)
      out.append(lineOpen ? "\n" : "").append(tag).append(lineOpen ? mark : "");
    written += held.substr(0, taken);
    held.erase(0, taken);
    lineOpen = body.back() != '\n';
    return out + body;
  }

  std::string writeAll() {
    std::string out;
    while (!held.empty())
      out += piece(held.size());
    return out;
  }

  // Every byte held falls due half a second after the first of them came, or after the piece
  // that left it.
  std::optional<double> due() const {
    if (held.empty())
      return std::nullopt;
    return heldSince + farspeak::pieceInterval;
  }

  // Returns false when the connection has ended; `out` gets what the turn wrote.
  bool turn(double now, std::string& out, bool& anyByteReceived) {
    if (!connection.isConnected()) {
      out = writeAll();
      if (lineOpen)
        out += '\n';
      lineOpen = false;
      return false;
    }
    // Every whole line, up to a piece's worth of bytes.
    bool mayRead = true;
    for (std::size_t taken = 0;
         taken < longestPiece && held.size() < longestPiece && nextByte(mayRead); ++taken) {
      anyByteReceived = true;
      if (held.empty())
        heldSince = now;
      held += static_cast<char>(connection.readByte());
      if (held.back() == '\n')
        out += writeAll();
    }
    if (!held.empty() &&
        (held.size() >= longestPiece || now > heldSince + farspeak::pieceInterval)) {
      // What no piece may end with goes as it stands once it is due itself.
      const std::size_t stop = pieceEnd();
      out += piece(stop > 0 ? stop : held.size());
      heldSince = now;
    }
    return true;
  }
};

struct Session {
  FakeConnection* connection = nullptr;  // owned by the record's counted reference
  farspeak::ClientRecord* record = nullptr;
  farspeak::ReceiveBlock received;
  farspeak::OutputBuffer* outputBuffer = nullptr;
  Model model;
  std::string delivered;  // every byte that arrived, in order
  std::string output;     // standard output, all writes joined
  std::string errorText;  // the console's standard error
  bool orderlyEndRequested = false;
};

Session* session = nullptr;

bool captureOutput(const plinth::platform::ByteRange* ranges, std::size_t count) {
  if (session == nullptr)
    return true;  // the second script looks at the order of pieces, not at the output
  const std::size_t before = session->output.size();
  for (std::size_t range = 0; range < count; ++range)
    session->output.append(static_cast<const char*>(ranges[range].bytes), ranges[range].count);
  FUZZ_REQUIRE(session->output.size() > before);
  FUZZ_REQUIRE(session->errorText.empty());  // held bytes come before the closing line
  return true;
}

bool captureError(const void* bytes, std::size_t count) {
  if (session == nullptr)
    return true;
  session->errorText.append(static_cast<const char*>(bytes), count);
  return true;
}

void deliver(Session& s, const std::string& bytes) {
  if (!s.connection->connected || s.delivered.size() + bytes.size() > mostBytesDelivered)
    return;
  s.connection->arrive(bytes);
  s.model.connection.arrive(bytes);
  s.delivered += bytes;
}

void end(Session& s, plinth::ConnectionState how) {
  s.connection->end(how);
  s.model.connection.end(how);
}

// A peer's orderly end reaches the receiver only after every byte it sent, when a read finds it.
void endWhenDrained(Session& s) {
  if (s.orderlyEndRequested && s.connection->connected && s.connection->waiting() == 0 &&
      s.received.empty())
    end(s, plinth::stateClosedByPeer);
}

// One pass of the main loop over this client; false once the record is gone.
bool poll(Session& s) {
  FakeConnection& connection = *s.connection;
  farspeak::ClientRecord& record = *s.record;
  const bool ended = !connection.connected;
  const std::size_t outputBefore = s.output.size();

  farspeak::Turn turn{*s.outputBuffer, s.received, seconds(loopClock)};
  const bool kept = farspeak::pollClient(record, turn);
  s.outputBuffer->writeHeld();

  std::string modelWritten;
  bool modelReceived = false;
  FUZZ_REQUIRE(s.model.turn(seconds(loopClock), modelWritten, modelReceived) == kept);
  FUZZ_REQUIRE(s.output.substr(outputBefore) == modelWritten);
  checkColours(modelWritten, s.model.ansi);
  FUZZ_REQUIRE(modelReceived == turn.anyByteReceived);
  // What the receiver took into its block and has not handed over, the model has not read.
  FUZZ_REQUIRE(s.model.connection.waiting() == connection.waiting() + s.received.held().size());
  FUZZ_REQUIRE(kept == !ended);

  // The model's pieces hold every byte read, once and in order.
  FUZZ_REQUIRE(std::string_view(s.delivered).starts_with(s.model.written));

  if (ended) {
    const bool closed = connection.state == plinth::stateClosedByPeer;
    const std::string name = s.model.prefixed ? "[10.0.0.7:50000]" : "10.0.0.7";
    FUZZ_REQUIRE(s.errorText == "Connection from " + name + (closed ? " closed\r\n" : " lost\r\n"));
    return false;
  }
  FUZZ_REQUIRE(s.errorText.empty());
  const farspeak::ByteBuffer& buffer = record.buffer;
  FUZZ_REQUIRE(std::string_view(reinterpret_cast<const char*>(buffer.begin()), buffer.size()) ==
               s.model.held);
  FUZZ_REQUIRE(buffer.capacity() <= longestPiece);
  // After a piece, storage fits what is left.
  if (!modelWritten.empty() && !buffer.empty())
    FUZZ_REQUIRE(buffer.capacity() <= std::max<std::size_t>(1024, 2 * buffer.size()));
  FUZZ_REQUIRE(!buffer.empty() || buffer.capacity() == 0);
  if (!buffer.empty())
    FUZZ_REQUIRE(record.heldSince == s.model.heldSince);
  FUZZ_REQUIRE(record.lineOpen == s.model.lineOpen);
  FUZZ_REQUIRE(farspeak::pieceDue(record) == s.model.due());
  endWhenDrained(s);
  return true;
}

void runScript(Session& s, FuzzedDataProvider& script) {
  while (script.remaining_bytes() > 0) {
    switch (script.ConsumeIntegralInRange(0, 10)) {
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
        s.model.connection.chunk = s.connection->chunk;
        break;
      }
      case 7: {  // bytes the escape and cutting rules turn on
        static constexpr std::string_view tokens[] = {
            "\xC2\x80",     "\xC2\x9F", "\xC2\xA0", "\xC2", "\xE2\x80\xA6",     "\xE2\x80\xA8",
            "\xE2\x80\xA9", "\xE2\x80", "\r",       "\r\n", "\xF0\x9F\x98\x80", "\xF0\x9F",
            "\x1b",         "\x1b[",    "\x1b[0m",  "m",    "\x1b]0;t\x07"};
        deliver(s,
                std::string(
                    tokens[script.ConsumeIntegralInRange<std::size_t>(0, std::size(tokens) - 1)]));
        break;
      }
      case 8: {  // a colour sequence, finished or not, up to a parameter too many
        std::string sequence = "\x1b[";
        for (std::size_t count = script.ConsumeIntegralInRange<std::size_t>(0, 63); count > 0;
             --count)
          sequence += "0123456789;:"[script.ConsumeIntegralInRange(0, 11)];
        if (script.ConsumeBool())
          sequence += 'm';
        deliver(s, sequence);
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
  // The receiver, asked to stop, writes what each client still holds and ends its line.
  const std::size_t outputBefore = s.output.size();
  farspeak::handOverHeld(*s.record, *s.outputBuffer);
  s.outputBuffer->endOpenLine();
  s.outputBuffer->writeHeld();
  std::string modelWritten = s.model.writeAll();
  if (s.model.lineOpen)
    modelWritten += '\n';
  FUZZ_REQUIRE(s.output.substr(outputBefore) == modelWritten);
  checkColours(modelWritten, s.model.ansi);
  FUZZ_REQUIRE(s.record->buffer.empty() && s.record->buffer.capacity() == 0);
}

// Several clients, bytes arriving in turns, the clock moving, turns as the loop gives them: to a
// client whose bytes came, and to one whose timer has passed. After each turn, a client's timer is
// set exactly when it holds bytes, at the time its piece falls due, and none has passed.
void runTimers(FuzzedDataProvider& script) {
  constexpr std::size_t clientCount = 4;
  plinth::EventLoop loop;
  farspeak::OutputBuffer output(
      farspeak::OutputFormat{.tags = script.ConsumeBool(), .ansi = script.ConsumeBool()});
  farspeak::MemoryBudget budget;
  farspeak::Clients clients(loop, output, budget);
  FakeConnection* connections[clientCount];
  farspeak::ClientHandler* handlers[clientCount];
  for (std::size_t client = 0; client < clientCount; ++client) {
    connections[client] = new FakeConnection;
    handlers[client] =
        &clients.add(plinth::CountedRef<plinth::NetworkConnection>(connections[client]), 0);
  }
  const auto turn = [&](farspeak::ClientHandler& client) {
    const double now = seconds(loopClock);
    clients.serve(client, now);
    const std::optional<double> due = farspeak::pieceDue(client.record);
    FUZZ_REQUIRE(client.scheduled() == due.has_value());
    FUZZ_REQUIRE(!due || (client.due() == *due && *due >= now));
  };
  std::uint64_t delivered = 0;
  while (script.remaining_bytes() > 0) {
    const std::size_t client = script.ConsumeIntegralInRange<std::size_t>(0, clientCount - 1);
    if (script.ConsumeBool()) {
      loopClock += script.ConsumeIntegralInRange(0, 700);
      for (farspeak::ClientHandler* handler : handlers) {
        if (handler->scheduled() && seconds(loopClock) > handler->due())
          turn(*handler);
      }
      continue;
    }
    // Bytes of its own, or the start or the end of a character, which a piece leaves held.
    static constexpr std::string_view tokens[] = {"\xC3", "\xA9", "\r", "\n", "x", "\x1b[1"};
    const std::string bytes =
        script.ConsumeBool()
            ? std::string(
                  tokens[script.ConsumeIntegralInRange<std::size_t>(0, std::size(tokens) - 1)])
            : script.ConsumeBytesAsString(script.ConsumeIntegralInRange<std::size_t>(1, 16));
    if (delivered + bytes.size() > mostBytesDelivered)
      return;
    delivered += bytes.size();
    connections[client]->arrive(bytes);
    turn(*handlers[client]);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  plinth::startConsole();
  ServiceOverride<bool (*)(const plinth::platform::ByteRange*, std::size_t)> output(
      &Services::writeStandardOutput, captureOutput);
  ServiceOverride<bool (*)(const void*, std::size_t)> error(&Services::writeStandardError,
                                                            captureError);
  loopClock = clockStart;
  FuzzedDataProvider script(data, size);
  if (script.ConsumeIntegralInRange(0, 3) == 0) {
    runTimers(script);
    return 0;
  }
  Session s;
  session = &s;
  s.model.prefixed = script.ConsumeBool();
  s.model.ansi = script.ConsumeBool();
  s.connection = new FakeConnection();
  {
    const farspeak::OutputFormat format{.tags = s.model.prefixed, .ansi = s.model.ansi};
    farspeak::OutputBuffer output(format);
    farspeak::ClientRecord record(s.connection, format);
    s.record = &record;
    s.outputBuffer = &output;
    runScript(s, script);
    // Whatever was read was written; whatever was not read is still in the connection, or in the
    // block received.
    FUZZ_REQUIRE(s.model.written.size() + s.connection->waiting() + s.received.held().size() ==
                 s.delivered.size());
  }
  session = nullptr;
  return 0;
}
