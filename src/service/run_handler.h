// The handler of "run.ast": lower the tree, launch, supervise to the end.
#pragma once

#include "protocol/request.h"

namespace zelta {

/// Serves one "run.ast" request to its end: writes either one error reply or
/// the events of the run, and returns once the last of them is written. The
/// request's tree is released once lowered, and memory a large request took
/// is given back before the run starts.
void serve_run_ast(Request& request);

}  // namespace zelta
