// Starting a pipeline on a new pseudo-terminal as a foreground job.
#pragma once

#include "launch/pty_launch.h"
#include "protocol/result.h"
#include "tree/launch_form.h"

namespace zelta {

/// Starts the form's commands on one new pseudo-terminal of the form's
/// `rows` and `cols` through a job leader (run_job_leader): the first member
/// reads the terminal, the last writes to it, every member's standard error
/// is the terminal, members are joined by pipes and apply their own
/// redirections after them, all in one process group that is the terminal's
/// foreground group. The returned launch's
/// `child_pid` is the leader (which exits with the last member's code by the
/// terminal rule), `job_group` the members' group, `command` the first
/// member's command word. The executor waits only for the leader to report
/// the group, which it does once its members are created (bounded), and
/// reads the terminal meanwhile into the launch's `early_output`, so a member
/// the leader waits for never waits on a full terminal.
///
/// Fails with "Missing pipeline commands" or "forkpty failed"; nothing is
/// left running then.
Result<PtyLaunch> launch_job(const LaunchForm& form);

/// The top of a stack for the members of a job that share the leader's
/// memory: mapped once per process below a guard page, and never written by
/// the executor, so each leader writes only its own copy of it. nullptr when
/// it cannot be mapped or the shared creation is not built.
char* member_stack_top();

}  // namespace zelta
