// Standard output, gathered: the clients' whole lines and pieces collect here and leave in one
// write when 64 KiB have gathered, when the loop is about to wait, before anything is written to
// standard error, at exit, and at the latest a millisecond after the oldest of them came. One write
// per line would cap the receiver at what the system takes in writes a second; lines stay whole
// because only whole lines and pieces are ever written.
#pragma once

#include <cstddef>

#include "plinth/text/debug_dest.h"
#include "receiver/byte_buffer.h"

namespace farspeak {

inline constexpr std::size_t outputWriteSize = 64 * 1024;
inline constexpr double longestOutputDelay = 0.001;  // seconds, on the fine clock

class OutputBuffer : public plinth::HeldOutput {
 public:
  OutputBuffer();
  // Writes what is left, and stops being the console's held output.
  ~OutputBuffer();
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;

  // The bytes: those kept for writing, then those of the turn under way, which a turn may
  // assemble here directly and then keep (`keepAssembled`) or take back (`assembled`,
  // `dropAssembled`).
  ByteBuffer& bytes() { return bytes_; }
  std::size_t assembledSize() const { return bytes_.size() - kept_; }
  const unsigned char* assembled() const { return bytes_.begin + kept_; }
  void dropAssembled() { bytes_.truncate(kept_); }
  void keepAssembled();
  void keep(const ByteBuffer& piece);

  // A pass of the loop begins at `seconds` (the fine clock): what has waited a millisecond goes.
  void passBegins(double seconds);
  // One write of everything kept.
  void writeHeld() override;

 private:
  ByteBuffer bytes_;
  std::size_t kept_ = 0;
  double passStart_ = 0.0;
  double oldest_ = 0.0;  // when the oldest kept byte came (the start of its pass)
};

}  // namespace farspeak
