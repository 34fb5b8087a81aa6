// Input typed into a terminal, written as fast as the terminal's output is taken.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "supervise/stdout_events.h"

namespace zelta {

/// The input queue of one terminal run. The terminal echoes what it is given
/// into its output buffer and drops the echo that does not fit, so queued
/// input goes in steps of a bounded size per run cycle, each once the
/// terminal has been found with no output ready (by the cycle's poll, or by
/// reading what it had) and nothing was written to it since: a paste's echo
/// then stays whole even when the front end reads slowly. Nothing is ever
/// reordered or dropped, except after a write error (the terminal is gone).
class TypedInput {
 public:
  TypedInput();

  /// Queues `data` behind any input not yet written, then feeds the terminal.
  void type(int master, StdoutEvents& events, std::string_view data);

  /// Reads the terminal's pending output (sent as "stdout" events) until it
  /// has nothing ready — unless it was seen with nothing ready since the last
  /// write — then writes as much queued input as the terminal takes and this
  /// cycle's budget allows.
  void feed(int master, StdoutEvents& events);

  /// Starts a new run cycle, with a full budget of input to write.
  void begin_cycle();

  /// Records that this cycle's poll found no output ready on the terminal,
  /// so the next write needs no read to find that out (a keystroke then
  /// costs no read that finds nothing). Cleared by the next write and by
  /// begin_cycle().
  void output_seen_empty() { output_empty_ = true; }

  bool pending() const { return offset_ < queue_.size(); }

  /// True once this cycle has written input to the terminal: its echo, or
  /// the program's answer, is then usually microseconds away.
  bool written_this_cycle() const { return written_; }

  /// While the run's output is paused, input is written without reading the
  /// terminal's output first (it is not to be read now).
  void pause_output(bool paused) { output_paused_ = paused; }

 private:
  void write(int master, std::size_t limit);

  std::string queue_;
  std::size_t offset_ = 0;
  std::size_t budget_;
  bool output_empty_ = false;
  bool output_paused_ = false;
  bool written_ = false;
};

}  // namespace zelta
