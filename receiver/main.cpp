#include <string>

#include "plinth/platform/platform.h"
#include "plinth/text/debug_dest.h"
#include "plinth/text/text_writer.h"
#include "receiver/command_line.h"
#include "receiver/output_buffer.h"
#include "receiver/receiver.h"

namespace {

// Exit codes, as the help text lists them.
constexpr int success = 0;
constexpr int failure = 1;
constexpr int badUsage = 2;

// The exit code after writing `text`: standard output may be closed, or its disk full.
int writeToStandardOutput(const std::string& text) {
  const plinth::platform::ByteRange all{text.data(), text.size()};
  if (plinth::platform::services.writeStandardOutput(&all, 1))
    return success;
  plinth::startConsole();
  farspeak::reportOutputFailure();
  return failure;
}

}  // namespace

int main(int argc, char** argv) {
  using Action = farspeak::CommandLine::Action;
  const farspeak::CommandLine commandLine = farspeak::parseCommandLine(argc, argv);
  switch (commandLine.action) {
    case Action::help:
      return writeToStandardOutput(commandLine.text);
    case Action::version:
      return writeToStandardOutput(commandLine.text + "\n");
    case Action::badUsage:
      plinth::startConsole();
      plinth::console().writeText(commandLine.text.c_str()).writeText("\nTry 'farspeak --help'.\n");
      return badUsage;
    case Action::run:
      break;
  }

  plinth::startConsole();
  plinth::platform::services.installStopHandler();
  return farspeak::runReceiver(commandLine.options) ? success : failure;
}
