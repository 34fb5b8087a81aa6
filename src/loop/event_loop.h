// The executor's one loop: it owns the input, serves requests, and waits once
// for every live run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "loop/request_input.h"
#include "platform/output_backlog.h"
#include "platform/poller.h"
#include "protocol/request.h"
#include "protocol/result.h"
#include "supervise/run.h"

namespace zelta {

/// Serves one request line (without its line feed): `decoded` is the line
/// already decoded, or null for the server to decode; with `more_waiting`
/// further complete lines are already read.
using LineServer = void (*)(std::string_view line, Result<Request>* decoded, bool more_waiting);

/// Serves the requests read from one descriptor and the runs they start.
///
/// One run at a time (the default): a "run.ast" starts its run, and until
/// the run has ended the loop only routes the lines it reads: control
/// requests for the run are carried out, those for another run dropped, and
/// every other line is kept and served after the run, in order. Lines read
/// before the run started are served after it too.
///
/// With "concurrent" switched on, a "run.ast" starts its run and the next
/// line is served at once: runs go on side by side, each control request
/// goes to the live run it names (or nowhere), and the loop waits for all
/// of them at once.
class EventLoop {
 public:
  /// Most runs live at once; a "run.ast" beyond it is refused.
  static constexpr std::size_t kMaxRuns = 256;

  EventLoop(int input_fd, LineServer serve_line);
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  /// Serves requests until the input has ended and every run has ended, an
  /// invalid UTF-8 line (once the live runs have ended), a read error, or
  /// the front end's departure (live runs are then ended unattended).
  void serve();

  /// Serves `run` alone until it has ended, reading its control requests
  /// from the input; other lines read meanwhile are dropped.
  void run_alone(std::unique_ptr<Run> run);

  /// The loop serving requests on this thread, or null.
  static EventLoop* current();

  /// Takes a run that has started (its "started" is written).
  void add(std::unique_ptr<Run> run);

  /// Whether a live run has identity `id`, and how many are live.
  bool has_run(std::string_view id) const;
  std::size_t run_count() const { return runs_.size(); }

 private:
  struct Live {
    std::unique_ptr<Run> run;
    std::size_t entries;
    // Where its entries start in the wait's list.
    std::size_t base = 0;
    // The monotonic time (loop_clock_ms) its time-out runs out; -1: none.
    long long deadline = -1;
    // Something may have changed what it waits on: it is prepared again
    // before the next wait. A run nothing has happened to since its last
    // wait keeps its entries, and costs the cycle nothing.
    bool dirty = true;
    // When it was last typed into (loop_clock_ms); -1: never.
    long long typed_at = -1;
    // Whether it was last prepared to hold its output back, or to read it
    // in small pieces.
    bool held = false;
    bool limited = false;
    // Let through: told of what it waits on the next time it is woken.
    bool released = false;
    // Prepared since it was last asked whether it is done.
    bool touched = true;
  };

  bool turn();
  bool serve_lines();
  bool serve_one(std::string_view line, bool more_waiting);
  void serve_concurrent(std::string_view line, bool more_waiting);
  void route_line(std::string_view line, std::uint64_t offset);
  Live* find(std::string_view id);
  void lay_out();
  void typed_into(Live& live);
  bool typing(const Live& live, long long now) const;
  bool favouring(long long now) const;
  std::size_t hold_back(bool favour, long long now);
  void cycle();
  void read_idle();
  void close_input();
  void finish_done_runs();
  void abandon_runs();
  bool line_waiting();

  RequestInput input_;
  std::vector<Live> runs_;
  // Lines read during a run that are served after it, in order.
  std::deque<std::string> kept_;
  // With one run at a time: input before this offset was read before the run
  // started, and is served after it.
  std::uint64_t defer_until_ = 0;
  bool input_open_ = true;
  // Set by an invalid UTF-8 line: nothing more is read or served.
  bool stopped_ = false;
  bool alone_ = false;
  LineServer serve_line_;
  Poller poller_;
  pollfd front_end_changes_{};
  std::vector<pollfd> fds_;
  RunWaits waits_;
  // What the front end has not read yet of the output, and when a run was
  // last typed into.
  OutputBacklog backlog_;
  long long typed_at_ = -1;
  bool awaiting_answer_ = false;
  std::size_t next_bulk_ = 0;
  // Runs were added or removed since the entries were laid out.
  bool layout_changed_ = true;
};

}  // namespace zelta
