#include "receiver/output_buffer.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "plinth/platform/platform.h"
#include "plinth/text/text_writer.h"

namespace farspeak {
namespace {

constexpr std::string_view continuation = "\xE2\x80\xA6";  // U+2026, as UTF-8

}  // namespace

OutputBuffer::OutputBuffer(const OutputFormat& format) : format_(format) {
  plinth::consoleDestination().heldOutput = this;
}

OutputBuffer::~OutputBuffer() {
  if (plinth::consoleDestination().heldOutput == this)
    plinth::consoleDestination().heldOutput = nullptr;
  writeHeld();
}

void OutputBuffer::keepAssembled(ClientRecord& client) {
  const std::size_t pieceSize = assembledSize();
  // Most pieces need nothing before them: no prefixes, and no other client's open line to end.
  if (format_.prefixed() || (openLine_ != nullptr && openLine_ != &client))
    insertBeforePiece(client, pieceSize);
  client.lineOpen = pieceSize > 0 && bytes_.end[-1] != '\n';
  openLine_ = client.lineOpen ? &client : nullptr;
  kept();
}

void OutputBuffer::insertBeforePiece(const ClientRecord& client, std::size_t pieceSize) {
  // The end of a line the piece must not join, then its prefix.
  char prefix[128];
  std::size_t length = 0;
  const auto add = [&](std::string_view text) {
    const std::size_t taken = std::min(text.size(), sizeof prefix - length);
    std::memcpy(prefix + length, text.data(), taken);
    length += taken;
  };
  if (openLine_ != nullptr)
    add("\n");
  if (format_.timestamps) {
    if (timeLength_ == 0)
      timeLength_ = writeTimeOfDay(time_);  // one reading a pass: the pass is when it is written
    add({time_, timeLength_});
  }
  add(client.tag);
  if (format_.prefixed() && client.lineOpen)
    add(continuation);
  if (length == 0)
    return;
  bytes_.append(reinterpret_cast<const unsigned char*>(prefix), length);
  unsigned char* piece = bytes_.begin + kept_;
  std::memmove(piece + length, piece, pieceSize);
  std::memcpy(piece, prefix, length);
}

void OutputBuffer::keep(ClientRecord& client, const ByteBuffer& piece) {
  bytes_.append(piece.begin, piece.size());
  keepAssembled(client);
}

void OutputBuffer::endLine(const ClientRecord& client) {
  if (openLine_ == &client)
    keepNewLine();
}

void OutputBuffer::endOpenLine() {
  if (openLine_ != nullptr)
    keepNewLine();
}

void OutputBuffer::keepNewLine() {
  bytes_.append('\n');
  openLine_ = nullptr;
  kept();
}

void OutputBuffer::kept() {
  if (kept_ == 0)
    oldest_ = passStart_;
  kept_ = bytes_.size();
  if (kept_ >= outputWriteSize)
    writeHeld();
}

void OutputBuffer::passBegins(double seconds) {
  passStart_ = seconds;
  timeLength_ = 0;
  if (kept_ > 0 && seconds - oldest_ >= longestOutputDelay)
    writeHeld();
}

void OutputBuffer::writeHeld() {
  ++writeCalls_;
  if (kept_ == 0 || failed_)
    return;
  if (!plinth::platform::services.writeStandardOutput(bytes_.begin, kept_)) {
    failed_ = true;  // first: the report goes to the console, which would write this out again
    bytes_.clear();
    kept_ = 0;
    reportOutputFailure();
    return;
  }
  // A console message in the middle of a turn comes here too: the turn's bytes stay.
  const std::size_t assembling = assembledSize();
  std::memmove(bytes_.begin, bytes_.begin + kept_, assembling);
  bytes_.truncate(assembling);
  kept_ = 0;
}

void reportOutputFailure() {
  plinth::console()
      .writeText("farspeak: cannot write to standard output (")
      .writeText(plinth::platform::services.standardOutputFailure().c_str())
      .writeText(")\n");
}

}  // namespace farspeak
