// Supervision of a single command on its pseudo-terminal.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "launch/pty_launch.h"
#include "supervise/stdout_events.h"
#include "supervise/typed_input.h"

namespace zelta {

/// Fixed sizes and times of the run cycle. The poll time-out applies only
/// where no exit watch can be had for the child.
inline constexpr int kPollTimeoutMs = 20;
/// How often a hung-up terminal is looked at where waits cannot watch it for
/// changes (no readiness list): output after the command reopens it arrives
/// within this time.
inline constexpr int kHungUpCheckMs = 50;
/// How long the wait after a cycle that typed into the terminal checks
/// without sleeping: about half of all echoes are back within it (the
/// terminal's own echo, taken by another processor), and sleeping for one
/// costs a wake-up that takes longer than the echo did.
inline constexpr int kEchoSpinUs = 10;
/// How often an ended command's terminal that the front end reads itself is
/// looked at until the front end has read all it holds: first after the
/// shortest time, then twice as long each time up to the longest (a front
/// end that has paused its reading may take long).
inline constexpr int kUnreadOutputFirstCheckMs = 1;
inline constexpr int kUnreadOutputLastCheckMs = 64;
inline constexpr std::size_t kOutputReadSize = 4096;
inline constexpr std::size_t kControlReadSize = 2048;
inline constexpr std::size_t kDrainReadSize = 1024;

/// The state of one terminal run, from "started" to "exit". Owns the master
/// descriptor (through `launch`), the control input not yet forming a line,
/// and the typed input the terminal has not taken yet.
struct PtyRun {
  PtyRun(PtyLaunch launch_in, int input_fd_in, bool raw_output = false);

  PtyLaunch launch;
  /// Where control requests are read from (the executor's standard input).
  int input_fd;
  bool exited = false;
  int exit_code = 0;
  /// The raw wait status once reaped (absent when the wait failed).
  std::optional<int> exit_status;
  /// Bytes read from `input_fd` that do not yet end in a line feed.
  std::string control_buffer;
  /// How much of `control_buffer` is known to hold no line feed.
  std::size_t control_scanned = 0;
  StdoutEvents events;
  /// Set by "run.pause", cleared by "run.resume": nothing is read from the
  /// terminal meanwhile, so the command blocks once the terminal's buffer is
  /// full, and the end of the run waits.
  bool paused = false;

  void set_paused(bool on) {
    paused = on;
    input.pause_output(on);
  }

  /// Queues `data` behind any input not yet written and feeds the terminal
  /// (see TypedInput).
  void type_input(std::string_view data) { input.type(launch.master_fd.get(), events, data); }
  /// Feeds the terminal more of the queued input.
  void write_pending_input() { input.feed(launch.master_fd.get(), events); }
  bool has_pending_input() const { return input.pending(); }

  TypedInput input;
};

/// Runs a launched terminal command to its end: "started", "stdout" events
/// as output arrives (base64 with `raw_output`), control requests read from
/// `input_fd` (whose flags are left as they are; other lines read are
/// carried to the service loop, see run_input.h), then — once the child is
/// reaped and its output drained — "exit". On a terminal the front end
/// reads itself there are no output events, and "exit" waits until the
/// front end has read what the terminal holds. The master is closed and the
/// child reaped on return.
void supervise_pty_run(PtyLaunch launch, int input_fd = 0, bool raw_output = false);

}  // namespace zelta
