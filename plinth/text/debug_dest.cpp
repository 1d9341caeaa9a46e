#include "plinth/text/debug_dest.h"

#include <mutex>

#include "plinth/platform/platform.h"
#include "plinth/text/utf8.h"

namespace plinth {
namespace {

DebugDest* consoleDest = nullptr;  // never destroyed: output may come from exit handlers

// Ends a write on every way out of putChars, exceptions included.
class WriteInProgress {
 public:
  explicit WriteInProgress(SpinLock& lock) : lock_(lock) {
    lock_.lock();
    writeInProgress = true;
  }
  ~WriteInProgress() {
    writeInProgress = false;
    lock_.unlock();
  }
  WriteInProgress(const WriteInProgress&) = delete;
  WriteInProgress& operator=(const WriteInProgress&) = delete;

 private:
  SpinLock& lock_;
};

}  // namespace

std::atomic<bool> writeInProgress{false};

DebugDest::DebugDest() {
  utf8Buffer.reserve(1024);
}

DebugDest::~DebugDest() {
  for (auto& mirror : mirrors)
    mirror.release();
}

TextDest& DebugDest::putChar(char16_t unit) {
  return putChars(&unit, 1);
}

TextDest& DebugDest::putChars(const char16_t* units, std::size_t count) {
  if (count == 0 || writeInProgress)
    return *this;
  // Outside the write, so that what it writes may itself say something on the console.
  if (toStandardError && heldOutput != nullptr)
    heldOutput->writeHeld();
  WriteInProgress write(writeLock);
  utf8Buffer.clear();
  appendUtf8(units, utf8Buffer, count);
  if (utf8Buffer.empty())
    return *this;  // the first unit was NUL
  if (toConsole) {
    // The console takes the caller's units, all of them, as the console call itself does.
    platform::services.writeConsole(units, static_cast<std::uint32_t>(count));
  }
  if (toStandardError)
    platform::services.writeStandardError(utf8Buffer.data(), utf8Buffer.size());
  writeToMirrors();
  return *this;
}

void DebugDest::writeToMirrors() {
  std::size_t position = 0;
  while (position < mirrors.size()) {
    bool keep = mirrors[position]->isOpen();
    if (keep) {
      try {
        mirrors[position]->writeBytes(utf8Buffer.data(), utf8Buffer.size());
        mirrors[position]->flush();
      } catch (...) {
        keep = false;  // a failing sink is dropped; the sinks after it still get the text
      }
    }
    if (keep) {
      ++position;
    } else {
      mirrors.erase(mirrors.begin() + static_cast<std::ptrdiff_t>(position));
    }
  }
}

void DebugDest::attachMirror(const CountedRef<MirrorSink>& sink) {
  std::lock_guard<SpinLock> hold(writeLock);
  mirrors.push_back(sink);
}

void startConsole() {
  consoleDestination().toStandardError = true;
}

DebugDest& consoleDestination() {
  if (consoleDest == nullptr)
    consoleDest = new DebugDest;
  return *consoleDest;
}

}  // namespace plinth
