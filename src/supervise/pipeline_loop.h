// The waiting part of a pipeline run: members waited for in order while the
// front end's control lines are served and, when streamed, output forwarded.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "launch/capture_thread.h"
#include "launch/pipeline_launch.h"
#include "supervise/stdout_events.h"

namespace zelta {

/// Largest read from one output pipe of a streamed pipeline.
inline constexpr std::size_t kStreamReadSize = 64 * 1024;

/// Drives one pipeline run between its launch and its report. Reads the
/// executor's standard input (`input_fd`) as the run's control input:
/// "run.signal" for this run sends its signal to every member's process
/// group; "run.pause" and "run.resume" stop and restart the reading of a
/// streamed launch's pipes (the members block once a pipe is full); other
/// control requests do nothing here; other lines are carried to
/// the service loop (run_input.h), the incomplete last one when the loop is
/// destroyed. Members whose front end has gone are killed and reaped.
class PipelineLoop {
 public:
  PipelineLoop(PipelineLaunch& launch, int input_fd);
  ~PipelineLoop();
  PipelineLoop(const PipelineLoop&) = delete;
  PipelineLoop& operator=(const PipelineLoop&) = delete;

  /// Waits for the members in pipeline order; the exit code is the last
  /// member's (pipeline_exit_code; 1 when it could not be waited for). A
  /// streamed launch forwards its output meanwhile. False when the front end
  /// has gone: the members are then killed and reaped.
  bool wait_members();

  /// Streamed launch: forwards output until every pipe is at end of file,
  /// then ends each stream (a cut-off last character becomes U+FFFD). False
  /// when the front end has gone.
  bool drain_streams();

  /// Waits for `capture` to finish, serving input meanwhile. False when the
  /// front end has gone (the thread is left to finish on its own).
  bool wait_capture(CaptureThread& capture);

  std::uint32_t exit_code() const { return exit_code_; }
  /// The last member's raw wait status, when it could be waited for.
  std::optional<int> last_status() const { return last_status_; }

 private:
  struct Stream {
    UniqueFd* end;  // the launch's read end; closed at its end of file
    int fd;
    StdoutEvents events;
  };

  // One poll over the input, `watch_fd` (-1: none), the front end and the
  // open streams, and what it found handled. False when the front end has
  // gone.
  bool cycle(int watch_fd, int timeout_ms);
  void serve_input();
  void forward(Stream& stream);
  void signal_members(int signal_number);
  bool streams_open() const;

  PipelineLaunch& launch_;
  int input_fd_;
  bool input_open_ = true;
  // Streamed launch between "run.pause" and "run.resume".
  bool paused_ = false;
  std::string control_;
  std::size_t control_scanned_ = 0;
  std::vector<Stream> streams_;
  std::unique_ptr<char[]> buffer_;
  std::uint32_t exit_code_ = 0;
  std::optional<int> last_status_;
};

}  // namespace zelta
