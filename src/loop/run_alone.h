// A launched run served alone to its end, outside the service loop.
#pragma once

#include "launch/pipeline_launch.h"
#include "launch/pty_launch.h"

namespace zelta {

/// Runs a launched terminal command alone to its end, reading its control
/// requests from `input_fd` (whose flags are left as they are); other lines
/// read meanwhile are dropped. A launch whose terminal the front end reads
/// itself runs as a FrontEndTerminalRun.
void supervise_pty_run(PtyLaunch launch, int input_fd = 0, bool raw_output = false);

/// Waits for the members in pipeline order, joins the standard-output capture
/// and then the standard-error captures, and writes at most one "stdout"
/// event (the whole standard output), at most one "stderr" event (every
/// member's standard error in pipeline order) and the "exit" event with the
/// last member's exit code (1 when it could not be waited for). Captured
/// streams are text: ill-formed UTF-8 becomes U+FFFD by maximal subparts. A
/// stream cut for lack of memory keeps what was captured, and the "stderr"
/// event ends with one output_cut_notice line per cut stream. An event whose
/// text would be empty is left out. Output is flushed before returning.
///
/// While it waits, the run reads its control requests from `input_fd`:
/// "run.signal" for the run signals every member's process group; other
/// lines are dropped (the service loop runs pipelines itself, see
/// make_pipeline_run).
///
/// A streamed launch instead writes "stdout" events (the last member's
/// standard output) and "stderr" events (every member's standard error) as
/// output arrives, each holding whole characters, and "exit" once every
/// member has ended and every pipe is at end of file.
///
/// Once the front end has gone (its end of the output stream is closed) the
/// run ends at once without events: members not yet ended are killed and
/// reaped, and captures held open by processes they left behind are no
/// longer waited for.
void supervise_pipeline_run(PipelineLaunch launch, int input_fd = 0);

}  // namespace zelta
