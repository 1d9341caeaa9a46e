#include "plinth/net/sockets.h"

#include "plinth/core/mutex.h"
#include "plinth/core/startup_state.h"
#include "plinth/platform/platform.h"
#include "plinth/text/text_writer.h"

namespace plinth {
namespace {

bool socketsStartAttempted = false;
bool socketsStarted = false;

}  // namespace

bool startSockets() {
  MutexLock hold(&wsaMutex);
  if (!socketsStartAttempted) {
    socketsStartAttempted = true;
    const int error = platform::services.startSockets();
    socketsStarted = error == 0;
    if (!socketsStarted) {
      console().writeText("Sockets didn't start!  (errno = ").writeInt(error).writeText(")\n");
    }
  }
  return socketsStarted;
}

const char16_t* getHostName() {
  static plinth_string hostName;
  if (hostName.length == 0) {
    char buffer[1024];
    if (startSockets() && platform::services.hostName(buffer, sizeof buffer)) {
      buffer[sizeof buffer - 1] = 0;
      hostName.assignNarrow(buffer, codePage1252);
    }
  }
  return hostName.text;
}

const plinth_string& getComputerName() {
  static plinth_string computerName;
  if (computerName.length == 0) {
    char16_t buffer[1025];
    std::uint32_t size = 1024;
    if (platform::services.computerName(buffer, &size)) {
      buffer[size] = 0;
      computerName.assign(buffer);
    } else {
      computerName.assign(u"unknown");
    }
  }
  return computerName;
}

}  // namespace plinth
