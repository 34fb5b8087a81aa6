// Closing every descriptor above the standard streams in a new child.
#pragma once

#include <cstddef>

namespace zelta {

/// How far a child's closing loop must go: found before the fork, since
/// finding it needs calls a forked child may not make.
struct DescriptorBound {
  /// One past the highest descriptor that may be open.
  int end = 0;

  /// Widens the bound over `fd`, opened after the bound was found (a pipe
  /// the child must close for its parent to see the end of it).
  void include(int fd) {
    if (fd >= end) end = fd + 1;
  }
};

/// Finds the bound: one past the highest descriptor open now (the listing of
/// /dev/fd), or the process's descriptor limit where that cannot be listed.
/// Descriptors opened after this call by other threads are close-on-exec, as
/// every descriptor the executor opens is, so a child cannot pass them on.
DescriptorBound find_descriptor_bound();

/// Closes every descriptor from 3 up to the bound except `keep` (-1: none).
/// Async-signal-safe: meant for a forked child before it executes a program.
void close_descriptors_above_stderr(const DescriptorBound& bound, int keep = -1);

/// The same, keeping the `keep_count` descriptors of `keep`, which must be in
/// ascending order (entries below 3 are ignored). Async-signal-safe, and
/// touches no memory but `keep`.
void close_descriptors_above_stderr(const DescriptorBound& bound, const int* keep,
                                    std::size_t keep_count);

}  // namespace zelta
