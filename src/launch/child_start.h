// Creating a terminal child that runs exec_in_child: on a vfork-class clone
// that shares the executor's memory until the exec, or by fork.
#pragma once

#include <sys/types.h>

#include "launch/child_exec.h"
#include "platform/features.h"
#include "platform/unique_fd.h"
#include "protocol/result.h"

namespace zelta {

/// How a terminal child is created.
enum class LaunchMethod {
  /// clone(CLONE_VM | CLONE_VFORK | CLONE_PIDFD) on a private stack: no copy of
  /// the executor's memory, and the launch returns once the child has executed
  /// (or exited). Taken only where it is compiled in and the child cannot
  /// block before its exec; fork otherwise.
  kVforkClone,
  /// fork, with a readiness pipe the child closes once the terminal is its
  /// controlling terminal; the child may then block (on a FIFO) on its own.
  kFork,
};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZELTA_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define ZELTA_SANITIZED_BUILD 1
#endif
#endif

/// True when the clone path is compiled in: Linux calls, and no sanitizer,
/// whose runtime cannot run on the child's private stack.
#if ZELTA_LINUX_CALLS && !defined(ZELTA_SANITIZED_BUILD)
inline constexpr bool kVforkCloneBuilt = true;
#else
inline constexpr bool kVforkCloneBuilt = false;
#endif

/// A created child: its id, a descriptor for the process where the creation
/// hands one out (empty otherwise), and how it was created.
struct StartedChild {
  pid_t pid = -1;
  UniqueFd pidfd;
  LaunchMethod method = LaunchMethod::kFork;
};

/// Creates a child running exec_in_child(plan) with every signal blocked
/// across the creation, so no handler of the executor runs in it. With
/// kVforkClone (where built and accepted by the kernel) returns after the
/// child has executed or exited; otherwise forks and returns once the child
/// has closed its readiness pipe (the terminal is then its controlling
/// terminal). Fails with the error number of the creation.
Result<StartedChild, int> start_child(ChildExec plan, LaunchMethod method);

}  // namespace zelta
