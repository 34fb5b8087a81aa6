// Lowering: a "run.ast" request becomes the execute form or the pipeline form.
#pragma once

#include "protocol/request.h"
#include "protocol/result.h"

namespace zelta {

/// Decodes the request's tree and builds the launch form: a Request of type
/// "execute" (a Command root) or "run.pipeline" (a Pipeline of Commands),
/// carrying run_id, cwd, env, timeout_ms, rows and cols unchanged; the
/// pipeline form also carries `stream` and `terminal`, and each member keeps
/// its redirections (a pipeline on pipes ignores them). Fails with
/// the error text of the reply ("Missing ast", "Invalid ast: ...", ...).
Result<Request> lower_run_ast(const Request& request);

}  // namespace zelta
