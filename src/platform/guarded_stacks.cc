#include "platform/guarded_stacks.h"

#include <errno.h>
#include <sys/mman.h>

#include <cstdint>

namespace zelta {

GuardedStacks GuardedStacks::map(std::size_t count, std::size_t stack_size) {
  GuardedStacks stacks;
  const std::size_t slot = kGuardSize + stack_size;
  if (count == 0 || count > SIZE_MAX / slot) {
    errno = ENOMEM;
    return stacks;
  }
  void* mapped = ::mmap(nullptr, count * slot, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (mapped == MAP_FAILED) return stacks;
  char* base = static_cast<char*>(mapped);
  for (std::size_t i = 0; i < count; ++i) {
    if (::mprotect(base + i * slot, kGuardSize, PROT_NONE) != 0) {
      const int error = errno;
      ::munmap(mapped, count * slot);
      errno = error;
      return stacks;
    }
  }
  stacks.base_ = base;
  stacks.stack_size_ = stack_size;
  return stacks;
}

}  // namespace zelta
