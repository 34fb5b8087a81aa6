// Starting the members of a pipeline joined by pipes.
#pragma once

#include <string>

#include "protocol/request.h"
#include "protocol/result.h"

namespace zelta {

/// What a successful pipeline launch hands to its run.
struct PipelineLaunch {
  std::string run_id;
};

/// Starts every member of the pipeline form. Fails with the error text of the
/// reply ("Missing pipeline commands", "spawn failed: ...", ...).
Result<PipelineLaunch> launch_pipeline(const Request& pipeline_form);

}  // namespace zelta
