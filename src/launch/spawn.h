// Starting one child process from a ProcessSpec without forking the executor.
#pragma once

#include <sys/types.h>

#include "launch/process_spec.h"
#include "platform/unique_fd.h"
#include "protocol/result.h"

namespace zelta {

/// A started child and the executor's ends of the pipes made for it (empty
/// where the slot was not a pipe): the write end for standard input, the read
/// ends for standard output and standard error.
struct SpawnedChild {
  pid_t pid = -1;
  UniqueFd stdin_end;
  UniqueFd stdout_end;
  UniqueFd stderr_end;
};

/// Starts `spec` as a child: working directory `spec.cwd` (unchanged when
/// empty), environment = the executor's with `spec.env` on top, standard
/// streams as the slots say, an empty signal mask and every signal at its
/// default disposition. The program is looked up the way an exec search
/// does, in the PATH of the child's environment; a file that is executable
/// but not in a format the system can run is handed to /bin/sh, as that
/// search does. The child receives no descriptor other than 0, 1 and 2.
///
/// Every descriptor the spec holds for the child is closed when this returns,
/// whatever the outcome. Fails with the error description: "nul byte found in
/// provided data" for a NUL byte in the program, an argument, the working
/// directory or an environment entry; the system error text otherwise (a
/// missing working directory or program gives ENOENT's, an unusable variable
/// name EINVAL's).
Result<SpawnedChild> start_process(ProcessSpec spec);

}  // namespace zelta
