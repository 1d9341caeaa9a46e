#include <malloc.h>

#include "plinth/platform/native.h"

namespace plinth::platform::native {

void trimMemory() {
  malloc_trim(0);  // free pages anywhere in the heap, not only at its top
}

}  // namespace plinth::platform::native
