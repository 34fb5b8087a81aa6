// Tuning the C library's allocator where it can be tuned.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelta {

/// Blocks of `bytes` or more come straight from the system and go back to it
/// when freed (glibc's mmap threshold, fixed so it no longer adapts upward).
/// Elsewhere does nothing.
void set_direct_allocation_threshold(std::size_t bytes);

/// The current end of the main heap (the program break, on the C library
/// that grows its heap with it); 0 where that cannot be read. No system call.
std::uintptr_t heap_end();

/// Hands the heap's free pages back to the system (glibc's malloc_trim);
/// elsewhere does nothing, the allocator deciding by itself.
void trim_heap();

}  // namespace zelta
