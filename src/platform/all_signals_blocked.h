// Blocking every signal of the calling thread around the creation of a child.
#pragma once

#include <signal.h>

namespace zelta {

/// Blocks every signal of the calling thread for its lifetime and restores
/// the previous mask after. On Linux the mask is set with the raw system
/// call, so the C library's internal signals (thread cancellation, set*id
/// broadcasts) are blocked too, as its own spawn does: a child that shares
/// the thread's memory must not run one of their handlers before its exec.
/// Elsewhere every signal the C library lets a program block is blocked.
class AllSignalsBlocked {
 public:
  AllSignalsBlocked();
  ~AllSignalsBlocked();
  AllSignalsBlocked(const AllSignalsBlocked&) = delete;
  AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};

}  // namespace zelta
