#include <malloc.h>

#include "base/free_memory.h"

namespace zunel {

void release_free_memory() { ::malloc_trim(0); }

}  // namespace zunel
