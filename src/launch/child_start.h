// Creating a terminal child that runs exec_in_child: on a vfork-class clone
// that shares the executor's memory until the exec, or by fork, and the one
// place that chooses between the two.
#pragma once

#include <sys/types.h>

#include "launch/child_side.h"
#include "platform/unique_fd.h"
#include "platform/vfork_clone.h"
#include "protocol/result.h"

namespace zelta {

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
