// Process start-up: standard descriptors, SIGPIPE, blocking standard input.
#pragma once

namespace zelta {

/// Opens "/dev/null" on any of descriptors 0 to 2 that is closed (aborting if
/// that fails), ignores SIGPIPE so a closed reader shows up as EPIPE, puts
/// SIGCHLD back to its default disposition and unblocks it (a front end may
/// pass either on), and clears O_NONBLOCK on descriptor 0.
void start_up();

}  // namespace zelta
