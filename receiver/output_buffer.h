// Standard output, gathered: the clients' whole lines and pieces collect here and leave in one
// write when 64 KiB have gathered, when the loop is about to wait, before anything is written to
// standard error, at exit, and at the latest a millisecond after the oldest of them came. One write
// per line would cap the receiver at what the system takes in writes a second; lines stay whole
// because only whole lines and pieces are ever written.
//
// Lines of two clients never share an output line: a piece that would continue another client's
// open line is put on a line of its own, and a client that goes, or the end of the program, ends
// the line it left open. With prefixes, every piece starts a line of its own, marked as a
// continuation when it continues its client's line. With JSON records, every piece and every
// client's coming and going is a record of its own line. A client's colour never outlives its
// piece, so neither a prefix nor another line takes it on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "plinth/event/event_loop.h"
#include "plinth/text/debug_dest.h"
#include "receiver/byte_buffer.h"
#include "receiver/client_record.h"
#include "receiver/receive_block.h"

namespace farspeak {

inline constexpr std::size_t outputWriteSize = 64 * 1024;
inline constexpr double longestOutputDelay = 0.001;  // seconds, high-resolution clock

// With a loop, its clock dates what is held and a timer of it writes what has waited a
// millisecond; without one (a test), only the other moments write.
class OutputBuffer : public plinth::HeldOutput, private plinth::Timer {
 public:
  explicit OutputBuffer(const OutputFormat& format = {}, plinth::EventLoop* loop = nullptr);
  // Writes what is left, and stops being the console's held output.
  ~OutputBuffer();
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;

  const OutputFormat& format() const { return format_; }

  // A piece of `client`'s line begins: what must come before it (the end of a line it must not
  // join, its prefix) is appended at once, and the piece's own bytes are appended to what this
  // returns. Then `endPiece`, `coloured` when a colour sequence of the client's passed in it: the
  // colour is reset before the piece's line end, or after its last byte. A piece is never empty.
  ByteBuffer& startPiece(const ClientRecord& client);
  void endPiece(ClientRecord& client, bool coloured);
  // A run of whole lines of `client`'s that needs no escape and no prefix, written straight from
  // its received block, whose storage stays pinned until it is written; copied when it cannot be.
  void writeStraight(ClientRecord& client, std::span<const unsigned char> run, ReceiveBlock& block);
  // The client goes, or the program ends: the line left open is ended. Between pieces only.
  void endLine(const ClientRecord& client);
  void endOpenLine();
  std::size_t capacity() const { return bytes_.capacity(); }
  // The memory of received blocks kept for what it holds.
  std::size_t pinnedMemory() const { return pinnedMemory_; }

  // With JSON records: a piece of `client`'s text (a line's with its LF last), or an event of
  // its ("connect", "close", "lost").
  void writeText(ClientRecord& client, std::string_view bytes);
  void writeEvent(const ClientRecord& client, std::string_view event);
  // With JSON records: a client refused as it came, by its endpoint ("10.1.2.3:50412"); and the
  // sum of refusals not written one by one, `count` of them from `addresses` addresses.
  void writeRefused(std::string_view endpoint);
  void writeRefusedSum(std::uint64_t count, std::uint64_t addresses);

  // One write of everything held. When it fails, the failure is reported, nothing more is written,
  // and the loop stops.
  void writeHeld() override;
  bool failed() const { return failed_; }

 private:
  // A run written straight from a received block, after the bytes gathered up to `offset`.
  struct Straight {
    std::size_t offset = 0;
    std::span<const unsigned char> run;
    ReceiveBlock::Pin pin = nullptr;
  };

  void onTimer() override { writeHeld(); }
  std::size_t size() const { return bytes_.size() + straightBytes_; }
  // After bytes for standard output were added.
  void added();
  void keepNewLine();
  void starting();
  // The record's fields up to its event (no client when `endpoint` is empty), and the end of a
  // record.
  void startRecord(std::string_view endpoint, std::string_view event);
  void endRecord();
  // The local time, read once for each reading of the loop's clock: pieces written together are
  // stamped together.
  std::string_view localTime();

  OutputFormat format_;
  plinth::EventLoop* loop_;
  ByteBuffer bytes_;
  std::vector<Straight> straight_;
  std::size_t straightBytes_ = 0;
  std::size_t pinnedMemory_ = 0;
  std::vector<plinth::platform::ByteRange> ranges_;  // for the write
  const ClientRecord* openLine_ = nullptr;           // whose line the output has left open
  char time_[longestTime] = {};                      // the local time, once a piece has needed it
  std::size_t timeLength_ = 0;
  double timeReadAt_ = -1.0;  // the loop's clock then
  bool failed_ = false;
};

// Says on the console that standard output failed, in the system's words.
void reportOutputFailure();

}  // namespace farspeak
