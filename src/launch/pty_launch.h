// Starting a single command on a new pseudo-terminal.
#pragma once

#include <sys/ioctl.h>
#include <sys/types.h>

#include <string>

#include "launch/child_start.h"
#include "platform/unique_fd.h"
#include "protocol/result.h"
#include "tree/launch_form.h"

namespace zelta {

/// What a successful terminal launch hands to its run.
struct PtyLaunch {
  pid_t child_pid = -1;
  UniqueFd master_fd;
  pid_t backend_pid = -1;
  std::string run_id;
  std::string command;
  /// A descriptor for the child process when its creation handed one out
  /// (the clone path); empty otherwise.
  UniqueFd pidfd;
  /// How the child was created.
  LaunchMethod method = LaunchMethod::kFork;
  /// For a pipeline on the terminal, whose `child_pid` is its job leader:
  /// the process group of the members, reported in "started" and signalled
  /// by "run.signal". 0 for a single command.
  pid_t job_group = 0;
  /// What the job's terminal showed before the leader reported the group,
  /// read by the launch so no member waits on a full terminal meanwhile: the
  /// run's first output.
  std::string early_output;
  /// The master is the front end's (see adopt_front_end_master): the front
  /// end reads the output and types into it itself; the executor never reads it.
  bool front_end_reads = false;
};

/// A new pseudo-terminal: master and slave both close-on-exec from the start,
/// the slave not made the executor's controlling terminal, the window size
/// set and UTF-8 line editing on before any child exists.
struct Terminal {
  UniqueFd master;
  UniqueFd slave;
};

/// Opens a Terminal of `size`, on `given_master` when one is given (see
/// adopt_front_end_master), else a new one; fails with the name of the step
/// that failed.
Result<Terminal> open_terminal(const winsize& size, UniqueFd given_master = UniqueFd());

/// Takes `fd` as the master of a pseudo-terminal the front end opened and
/// handed down: it must be above the standard streams, inherited (not
/// close-on-exec, as every descriptor the executor opens is) and a master
/// that unlocks. It is made close-on-exec and owned from then on; anything
/// else fails with "Invalid terminal_fd" and is left as it is.
Result<UniqueFd> adopt_front_end_master(int fd);

/// Starts the form's one command on a new pseudo-terminal of `rows` and
/// `cols`, or on the front end's (kFrontEndTerminalCommand). When it returns,
/// the terminal is the command's controlling terminal (typed Ctrl-C reaches
/// it as SIGINT). `method` is a preference, decided on by
/// choose_launch_method; tests drive both. Fails with "Missing command" (not
/// exactly one command), "Invalid terminal_fd" or "forkpty failed"; nothing
/// is left running then.
Result<PtyLaunch> launch_pty(const LaunchForm& form,
                             LaunchMethod method = LaunchMethod::kVforkClone);

}  // namespace zelta
