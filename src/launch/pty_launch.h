// Starting a single command on a new pseudo-terminal.
#pragma once

#include <sys/types.h>

#include <string>

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
};

/// Starts the execute form's command on a new pseudo-terminal. Fails with
/// "Missing command" or "forkpty failed"; nothing is left running then.
Result<PtyLaunch> launch_pty(const Request& execute_form);

}  // namespace zelta
