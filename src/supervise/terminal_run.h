// A single command, or a job, on a terminal the executor reads.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "launch/pty_launch.h"
#include "platform/child_exit_watch.h"
#include "supervise/run.h"
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
inline constexpr std::size_t kOutputReadSize = 4096;
inline constexpr std::size_t kDrainReadSize = 1024;

/// What a terminal run and a run on the front end's terminal share: the
/// launched child, its exit watch and its reaping, "started" and "exit".
struct TerminalChild {
  explicit TerminalChild(PtyLaunch launch_in);
  /// A child the run never reaped (its start failed half way, say) is killed
  /// and reaped in the background: nothing is left behind.
  ~TerminalChild();
  TerminalChild(const TerminalChild&) = delete;
  TerminalChild& operator=(const TerminalChild&) = delete;

  PtyLaunch launch;
  ChildExitWatch exit_watch;
  bool exited = false;
  int exit_code = 0;
  /// The raw wait status once reaped (absent when the wait failed).
  std::optional<int> exit_status;
  /// Asking about the child costs a system call; it is done only when the
  /// exit watch has fired, when there is no watch, after a wait that timed
  /// out or failed, and once before the first wait (an exit before the
  /// watch was made may not wake it).
  bool check_child = true;

  /// Writes "started" (a job is known by its members' group).
  void write_started();
  /// Reaps the child if it has ended (only when there is reason to ask).
  void check();
  /// After a wait: whether the exit watch fired, and whether the wait
  /// timed out (both are reasons to ask about the child).
  void after_wait(const pollfd& watch_entry, bool timed_out);
  /// "run.signal": the child pid, or a job's members' group.
  void signal(const Request& request);
  /// Closes the master, which hangs up the terminal (the command's session
  /// gets SIGHUP), unless the child has ended.
  void hang_up();
  /// Hangs up the terminal, waits for the child until `deadline_ms`, then
  /// kills its group and reaps it.
  void abandon(long long deadline_ms);
  /// Closes the run's descriptors and writes "exit".
  void write_exit();
};

/// The state of one terminal run the executor reads, from "started" to
/// "exit": "stdout" events as output arrives (base64 with `raw_output`),
/// control requests, and — once the child is reaped and its output
/// drained — "exit". Owns the master descriptor (through `launch`) and the
/// typed input the terminal has not taken yet.
class TerminalRun final : public Run, public TerminalChild {
 public:
  /// Writes "started" and the job's early output, and makes the master
  /// non-blocking.
  TerminalRun(PtyLaunch launch_in, bool raw_output = false);

  std::string_view id() const override { return launch.run_id; }
  std::size_t entry_count() const override { return 2; }
  void prepare(RunWaits& waits) override;
  void ready(const pollfd* entries, bool timed_out) override;
  void control(const Request& request) override;
  void type(std::string_view data) override { type_input(data); }
  void input_closed() override { set_paused(false); }
  bool done() const override { return done_; }
  void finish() override;
  void abandon_begin() override { hang_up(); }
  void abandon_end(long long deadline_ms) override { abandon(deadline_ms); }

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

 private:
  /// Set once the terminal reports a hang-up without data (no process holds
  /// the slave side): a wait would then return at once in every cycle, so
  /// the master is only read once per cycle and watched for changes only.
  bool hung_up_ = false;
  bool done_ = false;
  std::size_t read_limit_ = 0;
};

/// The run a terminal launch asks for: a TerminalRun, or a FrontEndTerminalRun
/// when the front end reads the terminal itself. Writes "started".
std::unique_ptr<Run> make_terminal_run(PtyLaunch launch, bool raw_output);

}  // namespace zelta
