// Starting a program in a child with its directory and standard streams set.
#pragma once

#include <sys/types.h>

namespace zelta {

/// Everything a spawned child gets. The pointers are the caller's and need to
/// live only until spawn_process returns.
struct SpawnPlan {
  const char* path = nullptr;
  char* const* argv = nullptr;
  char* const* envp = nullptr;
  /// The directory to change into before anything else, or nullptr to stay.
  const char* cwd = nullptr;
  /// Descriptors installed as 0, 1 and 2, in that order; -1 keeps the
  /// executor's own stream.
  int stdio_fds[3] = {-1, -1, -1};
  /// Starts the child in a new session of its own (and so a new process
  /// group, without a controlling terminal).
  bool new_session = false;
};

/// Starts `plan.path` in a new child: in `plan.cwd`, with the streams
/// installed, every descriptor above 2 closed, every signal at its default
/// disposition and none blocked. Returns 0 with `pid` set, or the error
/// number of whichever step failed (the directory change, installing a
/// stream, or the exec itself, ENOEXEC included); no child is left behind on
/// failure.
///
/// Uses the system's spawn call where it can change directory and close
/// descriptors itself; elsewhere forks and does the same in the child.
int spawn_process(const SpawnPlan& plan, pid_t& pid);

}  // namespace zelta
