#include <malloc.h>

#include "plinth/platform/native.h"

namespace plinth::platform::native {

void trimMemory() {
  _heapmin();
}

}  // namespace plinth::platform::native
