#include <sys/syscall.h>
#include <unistd.h>

#include "plinth/platform/native.h"

namespace plinth::platform::native {

std::uint32_t currentThreadId() {
  // The kernel's thread id: unique among live threads and never 0, like Windows' thread id.
  return static_cast<std::uint32_t>(syscall(SYS_gettid));
}

}  // namespace plinth::platform::native
