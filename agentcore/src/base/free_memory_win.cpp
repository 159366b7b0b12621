#include <windows.h>

#include "base/free_memory.h"

namespace zunel {

// The process heap gives back whole free blocks as it compacts.
void release_free_memory() { ::HeapCompact(::GetProcessHeap(), 0); }

}  // namespace zunel
