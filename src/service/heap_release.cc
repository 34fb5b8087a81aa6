#include "service/heap_release.h"

#include <unistd.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace zelta {

std::uintptr_t heap_end() {
#if defined(__GLIBC__)
  return reinterpret_cast<std::uintptr_t>(::sbrk(0));
#else
  return 0;
#endif
}

void give_back_heap(std::uintptr_t mark, bool large) {
#if defined(__GLIBC__)
  const std::uintptr_t end = heap_end();
  if (large || (end > mark && end - mark >= kLargeHeapGrowth)) ::malloc_trim(0);
#else
  (void)mark;
  (void)large;
#endif
}

}  // namespace zelta
