// Lowering: a "run.ast" request becomes the launch form of its run.
#pragma once

#include "protocol/request.h"
#include "protocol/result.h"
#include "tree/launch_form.h"

namespace zelta {

/// Decodes the request's tree and builds its launch form, every default
/// resolved. A Command root is one command on a terminal (the front end's
/// with `terminal_fd`); a Pipeline of Commands runs on pipes, collected or
/// with `stream` streamed, or with `terminal` as a job on a new terminal,
/// where a single member is run as one command with its redirections (a
/// pipeline on pipes ignores them). Fails with the error text of the reply:
/// "Missing ast", "Invalid ast: ...", "Unsupported AST root for run.ast",
/// "Unsupported pipeline AST node", or "terminal_fd needs a single command"
/// for `terminal_fd` with anything but one command.
Result<LaunchForm> lower_run_ast(const Request& request);

}  // namespace zelta
