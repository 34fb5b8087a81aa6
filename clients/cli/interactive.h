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
/// changes the working directory sent with later runs (HOME when DIR is left out),
/// `jobs` lists the background runs still going, `wait` waits for all of them.
/// A line ending in '&' runs in the background when the executor has "concurrent"
/// (else in the foreground, after a notice); the end of each is reported before the
/// next prompt: "[N]+ Done  <line>" or "[N]+ Exit <code>  <line>".
/// Ctrl-C at the prompt abandons the line. Returns the status of the last command.
int run_interactive(Session& session, InputReader& input);

}  // namespace zelta::client
