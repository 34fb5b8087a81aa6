// Runs of syntax trees against one executor, rendered on the client's own streams.
#pragma once

#include <poll.h>

#include <cstddef>
#include <memory>
#include <string>

#include "clients/cli/event_router.h"
#include "clients/cli/executor_connection.h"
#include "clients/cli/input_reader.h"
#include "clients/cli/job_table.h"
#include "clients/cli/run_loop.h"
#include "clients/cli/syntax_tree.h"

namespace zelta::client {

/// One executor, started on first use and started again after it has been lost,
/// the numbering of runs ("r1", "r2", ...) and the runs left going in the background.
class Session {
 public:
  Session(std::string executor_path, bool trace)
      : executor_path_(std::move(executor_path)), trace_(trace) {}
  /// Asks the background runs still going to end ("run.signal" TERM); the executor
  /// is then closed as usual.
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  /// Sends `tree` as a "run.ast" request (with the working directory and, for a
  /// single command, the window size of the user's terminal) and renders its events
  /// until "exit" or an error reply: terminal output and pipeline standard output go
  /// to standard output, pipeline standard error to standard error, error replies to
  /// standard error. SIGINT, SIGTERM, SIGHUP and SIGQUIT received meanwhile are
  /// passed on as "run.signal" (terminal runs) or to the executor's process group
  /// (pipelines, which the protocol cannot otherwise interrupt; the executor is then
  /// started again for the next run; with background runs on the executor, a
  /// "run.signal" instead). SIGWINCH during a terminal run sends the user's new
  /// window size as "run.resize". Events of background runs are recorded meanwhile.
  RunOutcome run(const Json& tree, InputReader& input, InputMode mode);

  enum class Background {
    kStarted,
    /// The executor cannot run several commands at once: nothing was sent.
    kUnavailable,
    /// The executor could not be started or was lost (already reported).
    kFailed,
  };
  /// Starts `tree` as a background run, which needs an executor with "concurrent"
  /// (switched on by a "hello" the first time). A single command, or a pipeline when
  /// `on_terminal`, runs on a terminal of its own that gets end of file at once;
  /// another pipeline streams. Its output is kept, not shown. `job_number` is set
  /// when started.
  Background start_background(const Json& tree, std::string command_line, bool on_terminal,
                              int& job_number);

  /// Reports of background runs that have ended since the last call (see JobTable).
  std::string take_notices() { return jobs_.take_notices(); }
  /// "[N]+ Running  <command line>" for each background run still going.
  std::string job_listing() const { return jobs_.listing(); }

  /// Slots to poll (at most kIdleSlots) while the client waits for something else,
  /// so that background runs are served meanwhile; none while no run is going.
  static constexpr std::size_t kIdleSlots = 2;
  std::size_t idle_slots(pollfd* fds);
  /// Serves what the poll reported on the slots from idle_slots().
  void on_idle_slots(const pollfd* fds, std::size_t count);

  /// Waits until every background run has ended (the `wait` built-in). SIGINT stops
  /// the wait with status 130; a termination signal with 128 + n and `terminate`.
  RunOutcome wait_background();

 private:
  bool ensure_executor();
  bool switch_on_concurrent();
  void serve_buffered();
  void on_other_line(const RoutedLine& line);
  void lose_executor(const char* detail);
  void forget_executor();

  std::string executor_path_;
  bool trace_;
  std::unique_ptr<ExecutorConnection> executor_;
  EventRouter router_;
  JobTable jobs_;
  enum class Concurrency { kUnknown, kOn, kOff } concurrency_ = Concurrency::kUnknown;
  int runs_ = 0;
};

}  // namespace zelta::client
