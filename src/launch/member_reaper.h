// Reaping of pipeline members whose run was abandoned after a failed start.
#pragma once

#include <sys/types.h>

#include <optional>
#include <vector>

#include "capture/capture_thread.h"

namespace zelta {

/// Waits for the child `pid` (blocking, repeated while interrupted by a
/// signal). Returns the raw wait status, or nullopt when the wait fails.
std::optional<int> wait_for_child(pid_t pid);

/// Takes charge of started children that nobody will supervise, and of their
/// capture threads, without blocking the caller: a detached thread waits for
/// exactly these process ids (never for any child, so other runs keep their
/// own children) and then joins the captures, discarding their bytes. When no
/// thread can be created the children are killed and reaped at once instead,
/// and the captures end on their own.
void reap_in_background(std::vector<pid_t> pids, std::vector<CaptureThread> captures);

}  // namespace zelta
