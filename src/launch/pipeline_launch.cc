#include "launch/pipeline_launch.h"

namespace zelta {

// Placeholder until pipeline launch exists.
Result<PipelineLaunch> launch_pipeline(const Request& pipeline_form) {
  if (!pipeline_form.commands || pipeline_form.commands->empty()) {
    return fail("Missing pipeline commands");
  }
  return fail("spawn failed: not available");
}

}  // namespace zelta
