// A single command on a terminal the front end opened and reads itself.
#pragma once

#include "supervise/terminal_run.h"

namespace zelta {

/// The front end reads the terminal's output and may type into it itself;
/// the executor never reads the master. There are no output events: typed
/// input from "stdin.write" is written without reading the terminal, and
/// "exit" waits until the front end has read what the command left there,
/// unless the executor's input has ended (nobody is left to read it).
class FrontEndTerminalRun final : public Run, public TerminalChild {
 public:
  /// Writes "started" and makes the master non-blocking.
  explicit FrontEndTerminalRun(PtyLaunch launch_in);

  std::string_view id() const override { return launch.run_id; }
  std::size_t entry_count() const override { return 2; }
  void prepare(RunWaits& waits) override;
  void ready(const pollfd* entries, bool timed_out) override;
  void control(const Request& request) override;
  void type(std::string_view data) override;
  void input_closed() override { input_open_ = false; }
  bool done() const override { return done_; }
  void finish() override { write_exit(); }
  void abandon_begin() override { hang_up(); }
  void abandon_end(long long deadline_ms) override { abandon(deadline_ms); }

 private:
  /// How often an ended command's terminal is looked at until the front end
  /// has read all it holds: first after the shortest time, then twice as
  /// long each time up to the longest (a front end that has paused its
  /// reading may take long).
  static constexpr int kUnreadOutputFirstCheckMs = 1;
  static constexpr int kUnreadOutputLastCheckMs = 64;

  TypedInput input_;
  // Output events are never written; the queue's echo reads need one.
  StdoutEvents no_events_;
  bool input_open_ = true;
  bool hung_up_ = false;
  bool done_ = false;
  int unread_check_ms_ = kUnreadOutputFirstCheckMs;
};

}  // namespace zelta
