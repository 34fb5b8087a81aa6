// Pipes whose ends are close-on-exec from the start, and their capacity.
#pragma once

#include "platform/unique_fd.h"

namespace zelta {

/// Both ends of a pipe.
struct PipeEnds {
  UniqueFd read;
  UniqueFd write;
};

/// Makes a pipe whose ends are close-on-exec (and non-blocking when asked).
/// Returns 0, or the error number with `ends` left empty.
///
/// Where the flags cannot be set atomically they are set right after the pipe
/// is made. A fork by another thread in between cannot pass the ends on to a
/// program: every child this executor starts closes all descriptors above 2
/// before it executes anything.
int make_pipe(PipeEnds& ends, bool nonblocking = false);

/// The same with raw descriptors, for callers that keep them in an array.
int make_pipe(int fds[2], bool nonblocking = false);

/// Asks for a pipe buffer of `bytes` where the system lets a pipe's capacity
/// be set; elsewhere does nothing. Best effort: failures are ignored.
void set_pipe_capacity(int fd, int bytes);

}  // namespace zelta
