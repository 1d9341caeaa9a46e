#include <windows.h>

#include <clocale>
#include <string>

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

std::u16string argumentText(const char* argument) {
  const int units = MultiByteToWideChar(CP_ACP, 0, argument, -1, nullptr, 0);
  if (units <= 1)
    return {};
  std::u16string text(static_cast<std::size_t>(units), u'\0');
  MultiByteToWideChar(CP_ACP, 0, argument, -1, reinterpret_cast<wchar_t*>(text.data()), units);
  text.pop_back();  // the terminator
  return text;
}

}  // namespace plinth::platform::native
