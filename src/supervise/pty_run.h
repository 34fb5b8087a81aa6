// Supervision of a single command on its pseudo-terminal.
#pragma once

#include <string>
#include <string_view>

#include "launch/pty_launch.h"
#include "supervise/stdout_events.h"

namespace zelta {

/// Fixed sizes and times of the run cycle.
inline constexpr int kPollTimeoutMs = 20;
inline constexpr std::size_t kOutputReadSize = 4096;
inline constexpr std::size_t kControlReadSize = 2048;
inline constexpr std::size_t kDrainReadSize = 1024;

/// The state of one terminal run, from "started" to "exit". Owns the master
/// descriptor (through `launch`), the control input not yet forming a line,
/// and the typed input the terminal has not taken yet.
struct PtyRun {
  PtyRun(PtyLaunch launch_in, int input_fd_in);

  PtyLaunch launch;
  /// Where control requests are read from (the executor's standard input).
  int input_fd;
  bool exited = false;
  int exit_code = 0;
  /// Bytes read from `input_fd` that do not yet end in a line feed.
  std::string control_buffer;
  /// How much of `control_buffer` is known to hold no line feed.
  std::size_t control_scanned = 0;
  StdoutEvents events;

  /// Queues `data` behind any input not yet written and writes as much as
  /// the terminal takes now, with one write call. Nothing is ever reordered
  /// or dropped, except after a write error (the terminal is gone).
  void type_input(std::string_view data);
  /// Writes as much queued input as the terminal takes now.
  void write_pending_input();
  bool has_pending_input() const { return pending_offset_ < pending_input_.size(); }

 private:
  std::string pending_input_;
  std::size_t pending_offset_ = 0;
};

/// Runs a launched terminal command to its end: "started", "stdout" events
/// as output arrives, control requests read from `input_fd` (made
/// non-blocking and left so), then — once the child is reaped and its output
/// drained — "exit". The master is closed and the child reaped on return.
void supervise_pty_run(PtyLaunch launch, int input_fd = 0);

}  // namespace zelta
