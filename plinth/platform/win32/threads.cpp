#include <windows.h>

#include "plinth/platform/native.h"

namespace plinth::platform::native {

std::uint32_t currentThreadId() {
  return GetCurrentThreadId();
}

EventHandle createEvent() {
  return CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

bool waitEvent(EventHandle event, std::uint32_t milliseconds) {
  return WaitForSingleObject(event, milliseconds) == WAIT_OBJECT_0;
}

void setEvent(EventHandle event) {
  SetEvent(event);
}

void closeEvent(EventHandle event) {
  if (event != nullptr)
    CloseHandle(event);
}

}  // namespace plinth::platform::native
