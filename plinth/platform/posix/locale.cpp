#include "plinth/platform/native.h"

// Placeholder until the locale items are mapped: every item fails, as an unknown item would.
namespace plinth::platform::native {

int localeText(std::uint32_t, char16_t*, int) { return 0; }
int localeNarrowText(std::uint32_t, char*, int) { return 0; }
bool setRuntimeLocale(const char*) { return false; }

}  // namespace plinth::platform::native
