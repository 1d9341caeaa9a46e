#include "plinth/core/startup_state.h"

#include <cstring>
#include <new>

#include "plinth/platform/platform.h"
#include "plinth/text/locale_record.h"

namespace plinth {
namespace {

// Owns the locale record's place in the order: the record is built on first use, and released
// first at exit.
struct LocaleRecordHolder {
  ~LocaleRecordHolder() { releaseLocaleRecord(); }
};

}  // namespace

RandomState seedRandomState(std::uint64_t timeStampCounter) {
  const auto low = static_cast<std::uint32_t>(timeStampCounter);
  const auto high = static_cast<std::uint32_t>(timeStampCounter >> 32);
  return {{low, high, low ^ high, low + high}, {0, 0}};
}

void DataBuffer::resize(std::size_t n) {
  if (n == 0) {
    platform::services.release(data);
    flags = 0;
    data = end = nullptr;
    size = capacity = 0;
    return;
  }
  if (n > size || 2 * n < capacity) {
    auto* block = static_cast<unsigned char*>(platform::services.allocate(n));
    if (block == nullptr)
      throw std::bad_alloc();
    if (data != nullptr) {
      std::memcpy(block, data, n < size ? n : size);
      platform::services.release(data);
    }
    data = block;
    capacity = n;
  }
  size = n;
  end = data + n;
}

void releaseWorkerHandle(WorkerHandle*& slot) {
  WorkerHandle* handle = slot;
  slot = nullptr;
  if (handle == nullptr || --handle->holders != 0)
    return;
  if (WorkerRecord* worker = handle->worker) {
    worker->control->stopRequest = 1;
    while (worker->running != 0)
      platform::services.sleep(10);
    delete worker;
  }
  delete handle;
}

WorkerRegistry::WorkerRegistry() {
  sharedObjects.reserve(64);
}

WorkerRegistry::~WorkerRegistry() {
  for (WorkerHandle*& handle : workerHandles)
    releaseWorkerHandle(handle);
  workerHandles.clear();
  sharedObjects.clear();
  sharedObjects.shrink_to_fit();
}

// Definition order is set-up order; the runtime tears them down in reverse.
RandomState randomState = seedRandomState(platform::services.timeStampCounter());
Mutex processTrackerMutex(u"processTrackerMutex");
DataBuffer scratchBuffer(131072);
Mutex dataCopyMutex(u"Data copy mutex");
CountedQueue countedQueue;
std::vector<CountedQueue> countedQueueList;
WorkerRegistry workerRegistry;
Mutex win32InternetMutex(u"Win32Internet");
Mutex wsaMutex(u"wsaMutex");
static LocaleRecordHolder localeRecordHolder;

}  // namespace plinth
