#include "receiver/output_buffer.h"

#include <cstring>

#include "plinth/platform/platform.h"

namespace farspeak {

OutputBuffer::OutputBuffer() {
  plinth::consoleDestination().heldOutput = this;
}

OutputBuffer::~OutputBuffer() {
  if (plinth::consoleDestination().heldOutput == this)
    plinth::consoleDestination().heldOutput = nullptr;
  writeHeld();
}

void OutputBuffer::keepAssembled() {
  if (kept_ == 0)
    oldest_ = passStart_;
  kept_ = bytes_.size();
  if (kept_ >= outputWriteSize)
    writeHeld();
}

void OutputBuffer::keep(const ByteBuffer& piece) {
  bytes_.append(piece.begin, piece.size());
  keepAssembled();
}

void OutputBuffer::passBegins(double seconds) {
  passStart_ = seconds;
  if (kept_ > 0 && seconds - oldest_ >= longestOutputDelay)
    writeHeld();
}

void OutputBuffer::writeHeld() {
  if (kept_ == 0)
    return;
  plinth::platform::services.writeStandardOutput(bytes_.begin, kept_);
  // A console message in the middle of a turn comes here too: the turn's bytes stay.
  const std::size_t assembling = assembledSize();
  std::memmove(bytes_.begin, bytes_.begin + kept_, assembling);
  bytes_.truncate(assembling);
  kept_ = 0;
}

}  // namespace farspeak
