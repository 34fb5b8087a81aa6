// Runs of syntax trees against one executor, rendered on the client's own streams.
#pragma once

#include <memory>
#include <string>

#include "clients/cli/executor_connection.h"
#include "clients/cli/input_reader.h"
#include "clients/cli/syntax_tree.h"

namespace zelta::client {

/// What a terminal run does with the client's standard input.
enum class InputMode {
  /// Standard input is the user's terminal: it goes into raw mode for the run and
  /// every keystroke is sent as "stdin.write" as it is typed.
  kKeystrokes,
  /// Standard input is a file or pipe: its bytes are sent as "stdin.write", and at
  /// its end the terminal's end-of-file key (Ctrl-D) is typed.
  kStream,
  /// Nothing is forwarded; end-of-file is typed at once, so a command that reads
  /// its terminal sees an empty input instead of waiting forever.
  kNone,
};

/// How one run ended.
struct RunOutcome {
  /// The command's exit code, 1 after an error reply or a lost executor, or
  /// 128 + n when signal n made the client interrupt a pipeline.
  int status = 0;
  /// A termination signal (SIGTERM, SIGHUP, SIGQUIT) reached the client during the
  /// run; the client should end after it.
  bool terminate = false;
};

/// One executor, started on first use and started again after it has been lost,
/// and the numbering of runs ("r1", "r2", ...).
class Session {
 public:
  Session(std::string executor_path, bool trace)
      : executor_path_(std::move(executor_path)), trace_(trace) {}

  /// Sends `tree` as a "run.ast" request (with the working directory and, for a
  /// single command, the window size of the user's terminal) and renders its events
  /// until "exit" or an error reply: terminal output and pipeline standard output go
  /// to standard output, pipeline standard error to standard error, error replies to
  /// standard error. SIGINT, SIGTERM, SIGHUP and SIGQUIT received meanwhile are
  /// passed on as "run.signal" (terminal runs) or to the executor's process group
  /// (pipelines, which the protocol cannot otherwise interrupt; the executor is then
  /// started again for the next run). SIGWINCH during a terminal run sends the user's
  /// new window size as "run.resize".
  RunOutcome run(const Json& tree, InputReader& input, InputMode mode);

 private:
  std::string executor_path_;
  bool trace_;
  std::unique_ptr<ExecutorConnection> executor_;
  int runs_ = 0;
};

}  // namespace zelta::client
