#include <cstdlib>

#include "plinth/platform/native.h"

namespace plinth::platform {
namespace {

// The C heap is the same service everywhere.
void* allocate(std::size_t bytes) {
  return std::malloc(bytes);
}
void* reallocate(void* block, std::size_t bytes) {
  return std::realloc(block, bytes);
}
void release(void* block) {
  std::free(block);
}

// Constant-initialised, so the table is complete before any static constructor runs.
constexpr Services realTable = {
    allocate,
    reallocate,
    release,
    native::trimMemory,
    native::sleep,
    native::yieldProcessor,
    native::tickCount,
    native::performanceFrequency,
    native::performanceCounter,
    native::timeStampCounter,
    native::localTime,
    native::currentThreadId,
    native::createEvent,
    native::waitEvent,
    native::setEvent,
    native::closeEvent,
    native::writeStandardOutput,
    native::writeStandardError,
    native::queueStandardError,
    native::finishStandardError,
    native::standardOutputFailure,
    native::writeConsole,
    native::standardOutputTakesColour,
    native::localeText,
    native::localeNarrowText,
    native::setRuntimeLocale,
    native::argumentText,
    native::startSockets,
    native::lastSocketError,
    native::socketErrorText,
    native::socketErrorKind,
    native::descriptorLimit,
    native::openStreamSocket,
    native::bindAddress,
    native::listen,
    native::localPort,
    native::poll,
    native::accept,
    native::receive,
    native::bytesWaiting,
    native::send,
    native::shutdown,
    native::setLinger,
    native::closeSocket,
    native::addressText,
    native::numericAddress,
    native::resolveName,
    native::openReadinessSet,
    native::closeReadinessSet,
    native::watchSocket,
    native::unwatchSocket,
    native::waitForReadiness,
    native::hostName,
    native::computerName,
    native::interfaceAddresses,
    native::installStopHandler,
    native::requestStop,
    native::stopRequested,
    native::stopWake,
};

}  // namespace

constinit Services services = realTable;

const Services& realServices() {
  return realTable;
}

}  // namespace plinth::platform
