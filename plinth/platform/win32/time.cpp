#include <windows.h>

#include "plinth/platform/native.h"

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace plinth::platform::native {

void sleep(std::uint32_t milliseconds) {
  Sleep(milliseconds);
}

void yieldProcessor() {
  SwitchToThread();
}

std::uint64_t tickCount() {
  return GetTickCount64();
}

bool performanceFrequency(std::int64_t* counts) {
  LARGE_INTEGER frequency;
  if (!QueryPerformanceFrequency(&frequency))
    return false;
  *counts = frequency.QuadPart;
  return true;
}

bool performanceCounter(std::int64_t* count) {
  LARGE_INTEGER counter;
  if (!QueryPerformanceCounter(&counter))
    return false;
  *count = counter.QuadPart;
  return true;
}

TimeOfDay localTime() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return {now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

std::uint64_t timeStampCounter() {
#if defined(__x86_64__) || defined(__i386__)
  return __rdtsc();
#else
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<std::uint64_t>(counter.QuadPart);
#endif
}

}  // namespace plinth::platform::native
