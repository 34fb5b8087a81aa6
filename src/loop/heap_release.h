// Giving the heap's free memory back to the system after a large request.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/allocator.h"

namespace zelta {

/// A request line this long, or a heap grown this much while serving one,
/// counts as large.
inline constexpr std::size_t kLargeLine = 1 << 20;
inline constexpr std::uintptr_t kLargeHeapGrowth = 8 << 20;

/// Returns the heap's free memory to the system (on the C library that
/// keeps it otherwise) when `large` or when the heap has grown by at least
/// kLargeHeapGrowth past `mark`. Millions of small blocks freed after a
/// large request leave their pages resident for the rest of the process's
/// life unless given back this way.
void give_back_heap(std::uintptr_t mark, bool large);

/// Spans the serving of one request: gives the heap back when it ends, if
/// the line or the heap's growth was large. Only a comparison otherwise.
class HeapGiveBack {
 public:
  explicit HeapGiveBack(std::size_t line_size)
      : mark_(heap_end()), large_line_(line_size >= kLargeLine) {}
  ~HeapGiveBack() { give_back_heap(mark_, large_line_); }
  HeapGiveBack(const HeapGiveBack&) = delete;
  HeapGiveBack& operator=(const HeapGiveBack&) = delete;

 private:
  std::uintptr_t mark_;
  bool large_line_;
};

}  // namespace zelta
