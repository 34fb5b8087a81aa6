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
#include "supervise/run.h"

namespace zelta {

/// Exit code of a pipeline member from its raw wait status: the exit status
/// after a normal exit, 1 after any other end (a signal above all).
std::uint32_t pipeline_exit_code(int status);

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
