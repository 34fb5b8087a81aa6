// Termination signals delivered to the client's event loops as readable bytes.
#pragma once

#include <vector>

namespace zelta::client {

/// Installs handlers for SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGWINCH that write the
/// signal number as one byte into a non-blocking pipe, and ignores SIGPIPE (a vanished
/// executor then shows as EPIPE). False when the pipe cannot be made.
bool install_signal_pipe();

/// The read end to poll for POLLIN.
int signal_pipe_fd();

/// The signals received since the last call, oldest first.
std::vector<int> take_signals();

}  // namespace zelta::client
