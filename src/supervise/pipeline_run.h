// Supervision of a launched pipeline: wait, collect, report.
#pragma once

#include "launch/pipeline_launch.h"

namespace zelta {

/// Waits for the members, joins the captures and writes "stdout", "stderr"
/// (each at most once) and "exit".
void supervise_pipeline_run(PipelineLaunch launch);

}  // namespace zelta
