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
  // One reading of UTC, turned into local time: the offset is their difference.
  SYSTEMTIME utc;
  GetSystemTime(&utc);
  SYSTEMTIME now;
  if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &now))
    now = utc;
  FILETIME utcTicks;
  FILETIME localTicks;
  SystemTimeToFileTime(&utc, &utcTicks);
  SystemTimeToFileTime(&now, &localTicks);
  const auto ticks = [](const FILETIME& time) {
    return static_cast<long long>((static_cast<unsigned long long>(time.dwHighDateTime) << 32) |
                                  time.dwLowDateTime);
  };
  const long long offset = (ticks(localTicks) - ticks(utcTicks)) / 600'000'000;  // 100 ns ticks
  return {.hour = now.wHour,
          .minute = now.wMinute,
          .second = now.wSecond,
          .millisecond = now.wMilliseconds,
          .year = now.wYear,
          .month = now.wMonth,
          .day = now.wDay,
          .utcOffsetMinutes = static_cast<int>(offset)};
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
