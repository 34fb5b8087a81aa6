#include "supervise/pipeline_run.h"

namespace zelta {

// Placeholder until pipeline supervision exists.
void supervise_pipeline_run(PipelineLaunch) {}

}  // namespace zelta
