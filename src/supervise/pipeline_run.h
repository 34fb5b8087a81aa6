// Supervision of a launched pipeline: wait, collect, report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/capture_buffer.h"
#include "launch/pipeline_launch.h"
#include "loop/run.h"

namespace zelta {

/// Exit code of a pipeline member from its raw wait status: the exit status
/// after a normal exit, 1 after any other end (a signal above all).
std::uint32_t pipeline_exit_code(int status);

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

/// The run a pipeline launch asks for: a StreamedPipelineRun or a
/// CollectedPipelineRun.
std::unique_ptr<Run> make_pipeline_run(PipelineLaunch launch);

/// Writes the report of a collected pipeline: the "stdout" event of `out`,
/// the "stderr" event of `err` followed by `notice` and by a note on each
/// stream cut for lack of memory, and "exit". `out` and `err` are consumed.
void write_pipeline_report(std::string_view run_id, std::vector<CaptureBuffer>& out,
                           std::vector<CaptureBuffer>& err, std::string notice,
                           std::uint32_t exit_code, std::optional<int> last_status);

/// "[zelta-stdio] <stream> truncated: kept <kept> bytes, dropped <dropped>
/// bytes (out of memory)" and a line feed: the note for a captured stream
/// that could not be held whole.
std::string output_cut_notice(std::string_view stream, std::size_t kept, std::size_t dropped);

}  // namespace zelta
