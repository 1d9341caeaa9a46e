// Runs a program as a child process for a test: its standard output and standard error go to
// temporary files, which the test reads while the child runs, and every wait has a time limit.
// The child never outlives the object. One implementation per system (posix/, win32/); on Windows
// the child gets a hidden console of its own, through which it is asked to stop.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace test_support {

// Where the child's standard error goes: to a file of its own, or into the standard output file,
// which keeps the order in which the child wrote to the two streams.
enum class ErrorStream { ownFile, intoOutput };

class ChildProcess {
 public:
  // Starts `program` (a path as the build system gives it) with `arguments`, each reaching the
  // program as it is, and an empty standard input. `started()` tells whether that worked.
  // On POSIX, `standardOutput` and `standardError` may name a descriptor (a pipe, /dev/full) that
  // the child gets as that stream instead of the file; outputPath() or errorPath() is then empty.
  explicit ChildProcess(const std::string& program, const std::vector<std::string>& arguments = {},
                        ErrorStream errorStream = ErrorStream::ownFile, int standardOutput = -1,
                        int standardError = -1);
  // Asks the child to stop if it still runs, kills it when it has not stopped after five seconds,
  // and removes its files.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const;

  // The files as this process opens them; the same file twice with ErrorStream::intoOutput.
  const std::string& outputPath() const { return outputPath_; }
  const std::string& errorPath() const { return errorPath_; }

  // Asks the child to stop as a user would: SIGTERM on POSIX, Ctrl+C on Windows. False when the
  // request could not be made, or the child has already been waited for.
  bool requestStop();

  // Ends the child at once; it then exits with a code other than 0.
  void kill();

  // The child's exit code, or nothing when it still runs after `limit`.
  std::optional<int> waitForExit(std::chrono::milliseconds limit);

 private:
  struct Native;  // the system's handle on the child
  std::unique_ptr<Native> native_;
  std::string outputPath_;
  std::string errorPath_;
};

// What the child wrote to standard output, from what reached the file: Windows keeps standard
// output in text mode, where each LF the program writes arrives as CR LF.
std::string undoTextMode(const std::string& written);

// True in a Windows program that Wine runs: Wine's sockets differ from Windows' in places.
bool runningUnderWine();

}  // namespace test_support
