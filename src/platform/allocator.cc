// glibc's allocator, not the kernel, is what these calls tune, so they follow
// the C library rather than the choice between Linux calls and fallbacks.
#include "platform/allocator.h"

#include <unistd.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace zelta {

void set_direct_allocation_threshold(std::size_t bytes) {
#if defined(__GLIBC__)
  ::mallopt(M_MMAP_THRESHOLD, static_cast<int>(bytes));
#else
  (void)bytes;
#endif
}

std::uintptr_t heap_end() {
#if defined(__GLIBC__)
  return reinterpret_cast<std::uintptr_t>(::sbrk(0));
#else
  return 0;
#endif
}

void trim_heap() {
#if defined(__GLIBC__)
  ::malloc_trim(0);
#endif
}

}  // namespace zelta
