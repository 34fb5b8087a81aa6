// The interactive mode: command lines read one after another against one executor.
#pragma once

#include "clients/cli/input_reader.h"
#include "clients/cli/session.h"

namespace zelta::client {

/// Reads command lines from `input` until its end, `exit` or a termination signal,
/// and runs each through `session`. A prompt ("zelta$ ", "> " for a continuation
/// line) is shown on standard error when the input is a terminal. A line that ends
/// inside quotes, after a backslash or after '|' continues on the next line.
/// Built-ins: `exit [N]` ends the client with N (else the last status), `cd [DIR]`
/// changes the working directory sent with later runs (HOME when DIR is left out).
/// Ctrl-C at the prompt abandons the line. Returns the status of the last command.
int run_interactive(Session& session, InputReader& input);

}  // namespace zelta::client
