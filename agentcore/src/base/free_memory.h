#pragma once
// Giving freed heap memory back to the operating system.

namespace zunel {

// Returns the heap's free pages to the system where the allocator keeps them
// (glibc keeps most of what a burst of large bodies freed). Costs a walk of
// the heap: call it when a burst has ended, not per request.
void release_free_memory();

}  // namespace zunel
