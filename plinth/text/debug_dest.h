// The console destination: UTF-16 text out as UTF-8 to standard error, to the console, and to
// attached mirror sinks.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "plinth/core/counted_ref.h"
#include "plinth/core/spin_lock.h"
#include "plinth/text/text_dest.h"

namespace plinth {

// True while any DebugDest write is under way, in any thread. A write that finds it set is dropped
// instead of waiting, which is what keeps a mirror that writes to the console from recursing, and
// what the named mutex reads to keep its warnings out of a write in progress.
extern std::atomic<bool> writeInProgress;

// A further receiver of a DebugDest's UTF-8 text.
class MirrorSink : public Refcountable {
 public:
  virtual ~MirrorSink() = default;
  // False once the sink takes no more output; the destination then drops it.
  virtual bool isOpen() = 0;
  virtual void writeBytes(const char* bytes, std::size_t count) = 0;
  // Called after every writeBytes.
  virtual void flush() = 0;
};

// Output that a caller holds back on its way to standard output. The console writes it out before
// each of its own writes to standard error, so that where the two streams meet (a terminal, one
// file for both) they keep the order in which things happened.
class HeldOutput {
 public:
  virtual void writeHeld() = 0;

 protected:
  ~HeldOutput() = default;
};

// Converts each write to UTF-8 and sends it, in this order, to the console, standard error and the
// mirrors. Writes are serialised by `writeLock`; nothing is kept between writes. A mirror that
// throws, or reports itself closed, is removed and the others still get the text.
class DebugDest : public TextDest {
 public:
  DebugDest();
  ~DebugDest() override;

  TextDest& putChar(char16_t unit) override;
  TextDest& putChars(const char16_t* units, std::size_t count) override;

  // Appends a sink to the mirrors, under writeLock. Not to be called from inside a mirror.
  void attachMirror(const CountedRef<MirrorSink>& sink);

  std::string utf8Buffer;
  SpinLock writeLock;
  bool toConsole = false;
  bool toStandardError = false;
  std::vector<CountedRef<MirrorSink>> mirrors;
  HeldOutput* heldOutput = nullptr;  // written out before each write to standard error

 private:
  void writeToMirrors();
};

// Makes the process's console destination exist and switches its standard-error output on.
void startConsole();

// The process's console destination, created (with both outputs off) if startConsole has not run.
// It lives until the process ends.
DebugDest& consoleDestination();

}  // namespace plinth
