#include "receiver/line_assembler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_connection.h"
#include "receiver_fixture.h"

namespace farspeak {
namespace {

using Log = std::vector<std::string>;

class LineAssemblerTest : public ReceiverFixture {
 protected:
  void SetUp() override {
    ReceiverFixture::SetUp();
    start();
  }

  void start(const OutputFormat& format = {}) {
    output.reset();
    output = std::make_unique<OutputBuffer>(format);
    connection = new FakeConnection;
    record = std::make_unique<ClientRecord>(
        plinth::CountedRef<plinth::NetworkConnection>(connection), format);
  }

  // One turn, then what it kept for standard output is written, so that each turn's write shows.
  bool poll() {
    Turn turn{*output, received, now};
    const bool kept = pollClient(*record, turn);
    anyByteReceived = turn.anyByteReceived;
    output->writeHeld();
    return kept;
  }

  std::unique_ptr<OutputBuffer> output;
  FakeConnection* connection = nullptr;
  std::unique_ptr<ClientRecord> record;
  ReceiveBlock received;
  bool anyByteReceived = false;
};

TEST_F(LineAssemblerTest, ALineIsWrittenWholeInOneWrite) {
  connection->arrive("abc\r\n");
  EXPECT_TRUE(poll());
  EXPECT_EQ(log, Log{"abc\r\n"});
  EXPECT_FALSE(record->crSeen);  // cleared by the flush
  EXPECT_TRUE(record->buffer.empty());
}

TEST_F(LineAssemblerTest, ControlBytesAreEscapedAndEverythingElsePasses) {
  connection->arrive(std::string("\0\t\x1b\x1f ~\x7f", 7) + "\x80\xc3\xa9\xff\r\n");
  poll();
  EXPECT_EQ(log, Log{"\\000\\009\\027\\031 ~\x7f\x80\xc3\xa9\xff\r\n"});
  // The C1 controls in UTF-8 (CSI, NEL), not the characters after them (no-break space).
  log.clear();
  connection->arrive(
      "\xC2\x9B"
      "31m\xC2\x85\xC2\x80\xC2\x9F\xC2\xA0\xC2\n");
  poll();
  EXPECT_EQ(log, Log{"\\194\\155"
                     "31m\\194\\133\\194\\128\\194\\159\xC2\xA0\xC2\n"});
  // Every byte from 32 up passes unchanged.
  log.clear();
  std::string high;
  for (int byte = 32; byte < 256; ++byte)
    high += static_cast<char>(byte);
  connection->arrive(high + "\n");
  poll();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_TRUE(log[0] == high + "\n");
}

// A turn hands over every whole line that has come, up to a piece's worth of the client's bytes;
// the rest of a line waits.
TEST_F(LineAssemblerTest, ATurnHandsOverEveryWholeLineUpToAPiece) {
  connection->arrive("a\nb\npart");
  poll();
  EXPECT_EQ(log, Log{"a\nb\n"});
  EXPECT_EQ(record->buffer.size(), 4u);
  log.clear();
  const std::string line = std::string(99, 'x') + "\n";
  std::string lines;
  for (int count = 0; count < 700; ++count)
    lines += line;
  connection->arrive("\n" + lines);
  poll();
  poll();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].size(), 5 + (longestPiece - 1) / 100 * 100);  // part, then whole lines
  EXPECT_TRUE(log[0] + log[1] == "part\n" + lines);
}

// A new client, quiet for long, or one that has just written: the half second counts from the
// first byte held, never from an earlier write.
TEST_F(LineAssemblerTest, APartialLineWaitsMoreThanHalfASecondFromItsFirstByte) {
  connection->arrive("part");
  poll();
  advance(500);
  poll();
  EXPECT_TRUE(log.empty());  // exactly half a second is not more
  advance(1);
  poll();
  EXPECT_EQ(log, Log{"part"});

  connection->arrive("more");
  advance(100);
  poll();
  EXPECT_EQ(log, Log{"part"});  // a piece at most once per half second
  connection->arrive(" end\n");
  poll();
  EXPECT_EQ(log, (Log{"part", "more end\n"}));  // the LF flushes at once

  // After a quiet spell, a line sent in two writes 0.2 s apart is one line.
  log.clear();
  advance(5000);
  connection->arrive("prompt: ");
  poll();
  advance(200);
  poll();
  connection->arrive("answer\n");
  poll();
  EXPECT_EQ(log, Log{"prompt: answer\n"});

  // A trickle, a byte every 100 ms: a piece about every half second, each from its first byte.
  log.clear();
  for (int byte = 0; byte < 15; ++byte) {
    connection->arrive("x");
    poll();
    advance(100);
  }
  poll();
  EXPECT_EQ(log, (Log{"xxxxxx", "xxxxxx"}));  // bytes at 0..500 ms, then 600..1100 ms
}

// With prefixes, a client cannot write what a reader that splits lines on CR, LS or PS would take
// for another client's line, nor a continuation mark of its own.
TEST_F(LineAssemblerTest, WithPrefixesNothingPassesForAnotherClientsLine) {
  start({.tags = true});
  connection->arrive("hello\r[127.0.0.1:9] I am B\n");
  poll();
  connection->arrive(
      "a\xE2\x80\xA8"
      "b\xE2\x80\xA9"
      "c\xC2\x85"
      "d \xE2\x80\xA6 ok\r\n");
  poll();
  connection->arrive(
      "\xE2\x80\xA6"
      "fake continuation\n");
  poll();
  EXPECT_EQ(log, (Log{"[10.0.0.7:50000] hello\\013[127.0.0.1:9] I am B\n",
                      "[10.0.0.7:50000] a\\226\\128\\168"
                      "b\\226\\128\\169"
                      "c\\194\\133"
                      "d \xE2\x80\xA6 ok\r\n",
                      "[10.0.0.7:50000] \\226\\128\\166"
                      "fake continuation\n"}));

  // A CR whose next byte has not come stays held for half a second after the piece before it,
  // and is then written as it stands: escaped, as a CR that no LF follows.
  log.clear();
  connection->arrive("wait\r");
  poll();
  advance(501);
  poll();
  EXPECT_EQ(log, Log{"[10.0.0.7:50000] wait"});
  EXPECT_EQ(pieceDue(*record), now + pieceInterval);
  connection->arrive("\n");
  poll();
  EXPECT_EQ(log, (Log{"[10.0.0.7:50000] wait", "\n[10.0.0.7:50000] \xE2\x80\xA6\r\n"}));
  log.clear();
  connection->arrive("again\r");
  poll();
  advance(501);
  poll();
  advance(501);
  poll();
  EXPECT_EQ(log, (Log{"[10.0.0.7:50000] again", "\n[10.0.0.7:50000] \xE2\x80\xA6\\013"}));
  EXPECT_FALSE(pieceDue(*record));
}

// With --ansi, a client's colour sequences (SGR) pass, and nothing else that ESC starts; every
// piece that passed one ends with a reset, before its line end.
TEST_F(LineAssemblerTest, WithAnsiOnlyColourSequencesPassAndEachPieceEndsUncoloured) {
  const OutputFormat ansi{.ansi = true};
  const OutputFormat tagged{.tags = true, .ansi = true};
  const OutputFormat colouredTag{.tags = true, .colour = true, .ansi = true};
  const std::string tag = "[10.0.0.7:50000] ";
  const std::string longest = std::string("\x1b[").append(61, '1') + "m";  // 64 bytes
  const std::string overlong = std::string("\x1b[").append(62, '1') + "m";
  const struct {
    OutputFormat format;
    std::string sent;
    std::string written;
  } cases[] = {
      {ansi, "\x1b[31mERROR\x1b[0m plain \x1b[1;32mOK\x1b[m\n",
       "\x1b[31mERROR\x1b[0m plain \x1b[1;32mOK\x1b[m\x1b[0m\n"},  // reset even when reset
      {ansi, "\x1b[38:5:196mred\r\n", "\x1b[38:5:196mred\x1b[0m\r\n"},
      {ansi, "\x1b[mnone\r\r\n", "\x1b[mnone\r\x1b[0m\r\n"},
      {ansi, "plain\n", "plain\n"},
      {ansi, longest + "\n", longest + "\x1b[0m\n"},
      {ansi, overlong + "\n", "\\027" + overlong.substr(1) + "\n"},
      // Every other sequence, and a malformed colour, exactly as without --ansi.
      {ansi, "\x1b[2J\x1b[10;5H\x1b]0;title\x07\x1b(B\x1bm\x1b[ 1m\n",
       "\\027[2J\\027[10;5H\\027]0;title\\007\\027(B\\027m\\027[ 1m\n"},
      {ansi,
       "\xC2\x9B"
       "31m\x1b[31;x\x1b[\x1b[1m!\n",
       "\\194\\155"
       "31m\\027[31;x\\027[\x1b[1m!\x1b[0m\n"},
      {OutputFormat{}, "\x1b[31mred\n", "\\027[31mred\n"},
      {OutputFormat{}, longest + "\n", "\\027" + longest.substr(1) + "\n"},
      // With prefixes, the SGRs show as nothing: a "…" after them still starts the piece.
      {tagged, "\x1b[31m\x1b[1m\xE2\x80\xA6 fake\n",
       tag + "\x1b[31m\x1b[1m\\226\\128\\166 fake\x1b[0m\n"},
      {tagged, "\x1b[31mok \xE2\x80\xA6\x1b[0m\xE2\x80\xA6\n",
       tag + "\x1b[31mok \xE2\x80\xA6\x1b[0m\xE2\x80\xA6\x1b[0m\n"},
      {tagged, "\x1b[2J\xE2\x80\xA6\n", tag + "\\027[2J\xE2\x80\xA6\n"},
      // The tag keeps its own colour; the client's starts after it.
      {colouredTag, "\x1b[32mgreen\n", "\x1b[31m[10.0.0.7:50000]\x1b[0m \x1b[32mgreen\x1b[0m\n"},
  };
  for (const auto& [format, sent, written] : cases) {
    SCOPED_TRACE(sent);
    start(format);
    log.clear();
    connection->arrive(sent);
    poll();
    EXPECT_EQ(log, Log{written});
  }
}

// A piece that is not its line's last ends with the reset too, and the next piece is not coloured
// again; no piece ends inside a colour sequence, which is held like a character, and escaped if
// it is still unfinished when it falls due.
TEST_F(LineAssemblerTest, WithAnsiAColourEndsWithItsPieceAndNoPieceSplitsASequence) {
  start({.tags = true, .ansi = true});
  const std::string tag = "[10.0.0.7:50000] ";
  connection->arrive("\x1b[33mPassword: ");
  poll();
  advance(501);
  poll();
  connection->arrive("secret\n");
  poll();
  EXPECT_EQ(log, (Log{tag + "\x1b[33mPassword: \x1b[0m", "\n" + tag + "\xE2\x80\xA6secret\n"}));

  log.clear();
  connection->arrive("abc\x1b[3");
  poll();
  advance(501);
  poll();
  advance(100);
  connection->arrive("1mred\n");
  poll();
  EXPECT_EQ(log, (Log{tag + "abc", "\n" + tag + "\xE2\x80\xA6\x1b[31mred\x1b[0m\n"}));
  log.clear();
  connection->arrive("xyz\x1b[1;");
  poll();
  advance(501);
  poll();
  advance(501);
  poll();
  EXPECT_EQ(log, (Log{tag + "xyz", "\n" + tag + "\xE2\x80\xA6\\027[1;"}));
  EXPECT_FALSE(pieceDue(*record));

  // The 64 KiB rule: the reset is not counted, and a sequence that does not fit starts the next.
  start({.ansi = true});
  log.clear();
  const std::string as(longestPiece, 'A');
  connection->arrive("\x1b[1m" + as + "\n");
  poll();
  poll();
  EXPECT_TRUE(log == (Log{"\x1b[1m" + as.substr(4) + "\x1b[0m", "AAAA\n"}));
  log.clear();
  connection->arrive(as.substr(3) + "\x1b[1mB\n");
  poll();
  poll();
  EXPECT_TRUE(log == (Log{as.substr(3), "\x1b[1mB\x1b[0m\n"}));
}

// Neither a 64 KiB piece nor a half-second one ends inside a character.
TEST_F(LineAssemblerTest, NoPieceEndsInsideACharacter) {
  const std::string as(longestPiece - 1, 'A');
  connection->arrive(as + "\xC3\xA9\n");
  poll();
  poll();
  EXPECT_TRUE(log == (Log{as, "\xC3\xA9\n"}));  // not A..A\xC3 and \xA9

  log.clear();
  connection->arrive("ab\xF0\x9F");
  poll();
  advance(501);
  poll();
  EXPECT_EQ(log, Log{"ab"});
  advance(100);
  connection->arrive("\x98\x80!");
  poll();
  EXPECT_EQ(log, Log{"ab"});
  advance(401);  // held since the piece was written, not since the rest of it came
  poll();
  EXPECT_EQ(log, (Log{"ab", "\xF0\x9F\x98\x80!"}));

  // A character never finished goes as it stands half a second after the piece before it, at most
  // a second after its first byte, in storage of its size; a lone C2 escaped, since a 9B that came
  // later would make a control sequence.
  log.clear();
  connection->arrive(as + "\xE2\x80");
  poll();
  poll();
  EXPECT_EQ(record->buffer.size(), 2u);
  EXPECT_LE(record->buffer.capacity(), 1024u);
  advance(501);
  poll();
  connection->arrive("Password: \xC2");
  poll();
  advance(501);
  poll();
  advance(501);
  poll();
  EXPECT_TRUE(log == (Log{as, "\xE2\x80", "Password: ", "\\194"}));
  EXPECT_EQ(record->buffer.capacity(), 0u);
}

TEST_F(LineAssemblerTest, AnyByteReceivedIsSetByEveryByteRead) {
  poll();
  EXPECT_FALSE(anyByteReceived);
  connection->arrive("\x07");
  poll();
  EXPECT_TRUE(anyByteReceived);
  anyByteReceived = false;
  connection->arrive("\n");
  poll();
  EXPECT_TRUE(anyByteReceived);
  EXPECT_EQ(log, Log{"\\007\n"});
}

TEST_F(LineAssemblerTest, HeldBytesAreWrittenBeforeTheClosingLine) {
  connection->arrive("done");
  poll();
  connection->end(plinth::stateClosedByPeer);
  EXPECT_FALSE(poll());
  EXPECT_EQ(log, (Log{"done\n", "err:Connection from 10.0.0.7 closed\r\n"}));  // its line ended
}

TEST_F(LineAssemblerTest, AnyOtherEndIsReportedLost) {
  for (plinth::ConnectionState state : {plinth::statePollFailed, plinth::stateSocketError}) {
    log.clear();
    connection->connected = true;
    connection->end(state);
    EXPECT_FALSE(poll());
    EXPECT_EQ(log, Log{"err:Connection from 10.0.0.7 lost\r\n"});
  }
}

TEST_F(LineAssemblerTest, AnEndlessLineComesOutInBoundedPieces) {
  const std::string endless(3 * longestPiece + 100, 'x');
  connection->arrive(endless);
  poll();
  ASSERT_EQ(log.size(), 1u);  // flushed at once, whatever the time
  EXPECT_EQ(log[0].size(), longestPiece);
  poll();
  poll();
  poll();
  EXPECT_EQ(log.size(), 3u);  // the last 100 bytes wait for the half second
  advance(501);
  poll();
  std::string joined;
  for (const std::string& piece : log)
    joined += piece;
  EXPECT_TRUE(joined == endless);
  EXPECT_LE(record->buffer.capacity(), longestPiece);  // storage stays bounded
  EXPECT_LE(output->capacity(), 2 * longestPiece);

  // Control bytes take four buffer bytes each; the bound still holds.
  log.clear();
  connection->arrive(std::string(longestPiece, '\t'));
  poll();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].size(), longestPiece);
  EXPECT_LE(record->buffer.capacity(), 2 * longestPiece);
}

TEST(ByteBuffer, GrowsByDoubling) {
  ByteBuffer buffer;
  EXPECT_EQ(buffer.capacity(), 0u);
  buffer.append('a');
  EXPECT_EQ(buffer.capacity(), 1024u);
  for (int i = 1; i < 1025; ++i)
    buffer.append('b');
  EXPECT_EQ(buffer.capacity(), 2048u);
  EXPECT_EQ(buffer.size(), 1025u);
  EXPECT_EQ(buffer.begin()[0], 'a');

  unsigned char* const storage = buffer.begin();
  buffer.clear();
  buffer.append('c');
  EXPECT_EQ(buffer.begin(), storage);  // kept across flushes

  // A run larger than the next doubling doubles as often as it takes.
  const std::string run(5000, 'r');
  buffer.append(reinterpret_cast<const unsigned char*>(run.data()), run.size());
  EXPECT_EQ(buffer.capacity(), 8192u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.begin()), buffer.size()), "c" + run);
}

void* refuseMemory(void*, std::size_t) {
  return nullptr;
}

// In the receiver nothing catches the error; here `noexcept` stands for that.
void appendWithoutMemory() noexcept {
  plinth::startConsole();
  plinth::platform::ServiceOverride refuse(&plinth::platform::Services::reallocate, refuseMemory);
  ByteBuffer buffer;
  buffer.append('a');
}

TEST(ByteBufferDeathTest, RunningOutOfMemoryEndsTheProcess) {
  EXPECT_DEATH(appendWithoutMemory(), "Out of memory!");
}

}  // namespace
}  // namespace farspeak
