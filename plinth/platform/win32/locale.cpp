#include <windows.h>

#include <clocale>

#include "plinth/platform/native.h"

namespace plinth::platform::native {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

// Windows leaves the buffer undefined when it fails; the services promise empty text there.
int localeText(std::uint32_t item, char16_t* buffer, int size) {
  const int stored =
      GetLocaleInfoW(LOCALE_USER_DEFAULT, item, reinterpret_cast<wchar_t*>(buffer), size);
  if (stored == 0 && buffer != nullptr && size > 0)
    buffer[0] = u'\0';
  return stored;
}

int localeNarrowText(std::uint32_t item, char* buffer, int size) {
  const int stored = GetLocaleInfoA(LOCALE_USER_DEFAULT, item, buffer, size);
  if (stored == 0 && buffer != nullptr && size > 0)
    buffer[0] = '\0';
  return stored;
}

bool setRuntimeLocale(const char* name) {
  return std::setlocale(LC_ALL, name) != nullptr;
}

}  // namespace plinth::platform::native
