// Starting a single command on a new pseudo-terminal.
#pragma once

#include <sys/types.h>

#include <string>

#include "launch/child_start.h"
#include "platform/unique_fd.h"
#include "protocol/request.h"
#include "protocol/result.h"

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
};

/// Starts the execute form's command on a new pseudo-terminal. When it
/// returns, the terminal is the command's controlling terminal (typed Ctrl-C
/// reaches it as SIGINT). `method` is a preference, decided on by
/// choose_launch_method; tests drive both. Fails with "Missing command" or "forkpty failed";
/// nothing is left running then.
Result<PtyLaunch> launch_pty(const Request& execute_form,
                             LaunchMethod method = LaunchMethod::kVforkClone);

}  // namespace zelta
