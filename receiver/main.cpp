#include "plinth/platform/platform.h"
#include "plinth/text/debug_dest.h"
#include "receiver/receiver.h"

int main() {
  plinth::startConsole();
  plinth::platform::services.installStopHandler();
  { farspeak::Receiver receiver; }
  return 0;
}
