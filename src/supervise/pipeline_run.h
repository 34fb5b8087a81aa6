// Supervision of a launched pipeline: wait, collect, report.
#pragma once

#include <cstdint>

#include "launch/pipeline_launch.h"

namespace zelta {

/// Exit code of a pipeline member from its raw wait status: the exit status
/// after a normal exit, 1 after any other end (a signal above all).
std::uint32_t pipeline_exit_code(int status);

/// Waits for the members in pipeline order, joins the standard-output capture
/// and then the standard-error captures, and writes at most one "stdout"
/// event (the whole standard output), at most one "stderr" event (every
/// member's standard error in pipeline order) and the "exit" event with the
/// last member's exit code (1 when it could not be waited for). A captured
/// stream that is not valid UTF-8 as a whole counts as empty, and an event
/// whose text would be empty is left out. Output is flushed before returning.
void supervise_pipeline_run(PipelineLaunch launch);

}  // namespace zelta
