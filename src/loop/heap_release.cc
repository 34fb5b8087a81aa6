#include "loop/heap_release.h"

namespace zelta {

void give_back_heap(std::uintptr_t mark, bool large) {
  const std::uintptr_t end = heap_end();
  if (large || (end > mark && end - mark >= kLargeHeapGrowth)) trim_heap();
}

}  // namespace zelta
