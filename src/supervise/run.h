// A run as the event loop sees it: a command or pipeline started by a
// "run.ast", served by the loop from its start to its "exit".
#pragma once

#include <poll.h>

#include <string>
#include <string_view>
#include <vector>

#include "protocol/request.h"

namespace zelta {

/// What a run waits on for one cycle of the loop: poll entries (a negative
/// descriptor for an entry not waited on this time), whether each reports
/// changes only, and how long the run lets the loop sleep.
struct RunWaits {
  /// Entries in a fixed order for the run's life, so that a readiness list
  /// registers each once.
  std::vector<pollfd> entries;
  std::vector<bool> edge;
  /// -1: as long as the other runs and the input let it.
  int timeout_ms = -1;
  /// An answer is due within microseconds (a keystroke's echo): the wait
  /// checks for it without sleeping for up to this long first.
  int spin_us = 0;
  /// Set by the loop: whether entries can report changes only (see
  /// Poller::set_edge_triggered); a run relying on that must check it.
  bool changes_only = false;
  /// Set by the loop: when not 0, the most the run reads of its commands'
  /// output in one read this cycle, so that the answer to what was just
  /// typed into another run is not held up long behind it.
  std::size_t read_limit = 0;
  /// Set by the run when one of its entries holds a descriptor other than
  /// the last cycle's under the same number (closed and opened again).
  bool renewed = false;

  void set(std::size_t index, pollfd entry, bool edge_triggered = false) {
    entries[index] = entry;
    edge[index] = edge_triggered;
  }
};

/// The interface every run kind gives the loop. The loop calls, in each
/// cycle, prepare() on every live run, waits once for all of them, then
/// ready() on every run with what its entries returned; control requests
/// for a run reach control() or type(). Once done() is true the loop calls
/// finish(), which writes the run's "exit", and destroys the run.
class Run {
 public:
  virtual ~Run() = default;

  /// The run's identity: its `run_id`, or "run-0".
  virtual std::string_view id() const = 0;

  /// How many poll entries the run uses (fixed for its life).
  virtual std::size_t entry_count() const = 0;

  /// Work before the wait (asking whether the child has ended, say) and the
  /// entries and time-out of this cycle's wait. May make the run done.
  virtual void prepare(RunWaits& waits) = 0;

  /// What the wait found for this run's entries (revents filled in);
  /// `timed_out` when the run's own time-out has run out.
  virtual void ready(const pollfd* entries, bool timed_out) = 0;

  /// A control request addressed to this run ("stdin.write", "run.signal",
  /// ...); kinds carry out what applies to them and ignore the rest.
  virtual void control(const Request& request) = 0;

  /// A plain keystroke line for this run: `data` typed into it.
  virtual void type(std::string_view data) { (void)data; }

  /// Nobody can send control requests any more (the executor's input has
  /// ended): a paused run is resumed, and the run ends on its own.
  virtual void input_closed() = 0;

  /// True once the run has nothing left to do but report its end.
  virtual bool done() const = 0;

  /// Writes the run's last events and its "exit"; descriptors are closed
  /// and children reaped first.
  virtual void finish() = 0;

  /// The front end has gone: the first step of ending the run unattended
  /// (a terminal is hung up, say). abandon_end() follows once every run has
  /// taken its first step.
  virtual void abandon_begin() {}

  /// Ends what is left of the run: waits for its commands until `deadline_ms`
  /// (a monotonic time in milliseconds, see loop_clock_ms) and then kills
  /// and reaps them. Nothing is written.
  virtual void abandon_end(long long deadline_ms) = 0;
};

/// Milliseconds of the monotonic clock.
long long loop_clock_ms();

}  // namespace zelta
