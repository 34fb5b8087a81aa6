// Stacks for children that run on their creator's memory until they exec: each
// stack lies above a guard page, so an overflow faults instead of writing over
// whatever is mapped below it.
#pragma once

#include <cstddef>

namespace zelta {

class GuardedStacks {
 public:
  static constexpr std::size_t kGuardSize = 4096;

  /// Maps `count` stacks of `stack_size` bytes in one region, each above its
  /// own guard page; empty (errno set) when that cannot be done. Makes only
  /// system calls, so a forked child may call it. The region is never
  /// unmapped: its users keep it for the life of their process.
  static GuardedStacks map(std::size_t count, std::size_t stack_size);

  bool mapped() const { return base_ != nullptr; }

  /// One past the highest byte of stack `index`, where it starts to grow down.
  char* top(std::size_t index) const { return base_ + (index + 1) * (kGuardSize + stack_size_); }

 private:
  char* base_ = nullptr;
  std::size_t stack_size_ = 0;
};

}  // namespace zelta
