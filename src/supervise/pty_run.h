// Supervision of a single command on its pseudo-terminal.
#pragma once

#include "launch/pty_launch.h"

namespace zelta {

/// Runs a launched terminal command to its end: "started", "stdout" events,
/// control requests read from descriptor 0, then "exit".
void supervise_pty_run(PtyLaunch launch);

}  // namespace zelta
