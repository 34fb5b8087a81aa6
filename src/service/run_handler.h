// The handler of "run.ast": lower the tree, launch, supervise to the end.
#pragma once

#include "protocol/request.h"

namespace zelta {

/// Serves one "run.ast" request to its end: writes either one error reply or
/// the events of the run, and returns once the last of them is written.
void serve_run_ast(const Request& request);

}  // namespace zelta
