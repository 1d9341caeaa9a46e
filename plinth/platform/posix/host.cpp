#include "plinth/platform/native.h"

// Placeholder until the host services are built.
namespace plinth::platform::native {

bool hostName(char*, int) { return false; }
bool computerName(char16_t*, std::uint32_t*) { return false; }
std::vector<std::string> interfaceAddresses() { return {}; }

}  // namespace plinth::platform::native
