// The job leader of a pipeline on a terminal: a forked child of the executor
// that leads the terminal's session, starts the members in one process group
// made the terminal's foreground group, and waits for them. Runs in a forked
// child of a possibly multi-threaded process: only async-signal-safe calls.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "launch/child_exec.h"
#include "launch/child_start.h"

namespace zelta {

/// Everything the leader reads, prepared before the fork.
struct JobLeaderPlan {
  /// The terminal's slave side: the leader's controlling terminal, standard
  /// input of the first member, standard output of the last, standard error
  /// of all.
  int slave_fd = -1;
  /// The terminal's master side, which the leader closes (it never executes,
  /// so close-on-exec does not take it away).
  int master_fd = -1;
  /// Write end of the report pipe: the leader writes the members' process
  /// group id there (a pid_t) once every member has been forked, or closes
  /// it without writing when none could be started.
  int report_fd = -1;
  /// One exec plan per member, in pipeline order (slave_fd -1 each).
  const ChildExec* const* members = nullptr;
  /// How each member is created, as choose_launch_method gives for its plan:
  /// kVforkClone shares the leader's memory until the member's exec, so no
  /// page table is copied and the leader goes on once the member has
  /// executed or exited; kFork copies. Only a member that cannot wait on
  /// anything outside before its exec may share: the leader waits for it,
  /// and the members after it wait for the leader. The lines such a member
  /// may write on the terminal are bounded, and the executor reads the
  /// terminal until the leader reports, so those writes do not wait either.
  const LaunchMethod* methods = nullptr;
  /// The top of a stack for the members that share memory, mapped before
  /// the leader's fork (see member_stack_top); nullptr forks every member.
  char* member_stack_top = nullptr;
  /// When every member shares memory: the leader maps a stack for each and
  /// creates them side by side, without waiting for one member's exec before
  /// creating the next. Safe because such a member reads nothing another
  /// writes: the error of its directory change and exec comes back from the
  /// kernel, not through the errno they all share, and it writes only its
  /// own stack and plan. The leader falls back to one at a time when the
  /// stacks cannot be mapped.
  bool side_by_side = false;
  std::size_t member_count = 0;
  /// Room for member_count process ids.
  pid_t* pids = nullptr;
};

/// The top of a stack for the members of a job that share the leader's
/// memory: mapped once per process below a guard page, and never written by
/// the executor, so each leader writes only its own copy of it. nullptr when
/// it cannot be mapped or the shared creation is not built.
char* member_stack_top();

/// Runs the job: new session with the terminal as controlling terminal; for
/// each member a pipe to the next (close-on-exec), the member's creation by
/// its method (a fork where the shared creation is not built or is refused),
/// and in the child the process group (the first member's), the foreground
/// group of the terminal (first member), the pipe ends on 0 and 1, then
/// exec_in_child. A member that cannot be created is reported on the
/// terminal and the others run on. Waits for every member and exits with the last member's code
/// (126 when it could not be started); when a signal ended the last member,
/// the leader ends by that signal too (without a core), else with 128 + n. Every signal stays
/// blocked in the leader. Never returns.
[[noreturn]] void run_job_leader(const JobLeaderPlan& plan);

}  // namespace zelta
