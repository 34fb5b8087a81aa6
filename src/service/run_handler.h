// The handler of "run.ast": lower the tree, launch, and hand the run to the loop.
#pragma once

#include "protocol/request.h"

namespace zelta {

/// Starts one "run.ast" request's run: writes either one error reply, or the
/// run's "started" (for a run on a terminal) and hands the run to the loop
/// serving requests, which writes the rest of its events; without a loop
/// the run is served alone to its end. With "concurrent" switched on, a run
/// whose identity is a live run's ("Duplicate run_id") and a run beyond the
/// most there may be ("Too many runs") are refused. The request's tree is
/// released once lowered, and memory a large request took is given back
/// before the run starts.
void serve_run_ast(Request& request);

}  // namespace zelta
