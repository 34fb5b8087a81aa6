// Creating a terminal child that runs exec_in_child: on a vfork-class clone
// that shares the executor's memory until the exec, or by fork, and the one
// place that chooses between the two.
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
  /// (or exited). While it runs, the child shares with the executor its
  /// memory (so the plan, the error-text table and the calling thread's errno
  /// and C library state), but not its descriptor table, signal dispositions
  /// or mask: it has copies of those. The executor's thread is suspended
  /// meanwhile with every signal blocked, so it is taken only for a child
  /// that cannot wait on anything outside (see choose_launch_method).
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

/// Most bytes of one line a clone child may write to its terminal: well under
/// what a terminal holds with nobody reading it, so the write never waits.
inline constexpr std::size_t kCloneLineLimit = 1024;

/// The method for `plan` when `preferred` is asked for. Every condition is
/// here: the clone is taken only when it is built, preferred, and the child
/// can reach its exec without waiting on anything the command's environment
/// controls, that is when no redirection opens a path (an open may wait on a
/// FIFO's peer, a lease, a network or FUSE file system, an automount or an
/// open-permission hook, and a name can change between any check and the
/// open) and no line the child may write is longer than kCloneLineLimit.
/// What remains in a clone child (the working directory change and the
/// exec's own lookup) is what a C library's spawn does too. A kernel that
/// refuses the clone makes start_child fork instead.
LaunchMethod choose_launch_method(const ChildExec& plan, LaunchMethod preferred);

/// Creates a child running exec_in_child(plan) by the method
/// choose_launch_method gives, with every signal blocked across the creation,
/// so no handler of the executor runs in it, and the caller's errno kept. A
/// clone returns after the child has executed or exited; a fork returns once
/// the child has closed its readiness pipe (the terminal is then its
/// controlling terminal, or the child has given up). Fails with the error
/// number of the creation.
Result<StartedChild, int> start_child(ChildExec plan, LaunchMethod preferred);

}  // namespace zelta
