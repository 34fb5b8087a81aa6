#include "loop/event_loop.h"

#include <errno.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <new>

#include "loop/heap_release.h"
#include "loop/run_lines.h"
#include "protocol/extensions.h"
#include "protocol/output.h"
#include "protocol/request_decoder.h"
#include "protocol/utf8.h"
#include "protocol/white_space.h"
#include "supervise/front_end_watch.h"

namespace zelta {
namespace {

// Poll entries ahead of the runs' own: the input, then the front end.
constexpr std::size_t kInputEntry = 0;
constexpr std::size_t kFrontEndEntry = 1;
constexpr std::size_t kFirstRunEntry = 2;

// For this long after a keystroke, the output of the runs not typed into
// waits while the front end has not read what came before: the keystroke's
// answer then reaches the front end ahead of any flood.
constexpr long long kTypingWindowMs = 250;
// The most a run not typed into reads at once meanwhile: what the front end
// must read before the answer stays small.
constexpr std::size_t kFavouredReadLimit = 512;
// How often held output is looked at again while the front end reads.
constexpr int kBacklogCheckMs = 1;

// How long the grace after a hang-up lasts before what is left is killed.
constexpr long long kHangUpGraceMs = 500;

thread_local EventLoop* current_loop = nullptr;

// Hands over held output on every way out of the loop.
struct ReleaseOutput {
  ~ReleaseOutput() { hold_output(false); }
};

}  // namespace

EventLoop::EventLoop(int input_fd, LineServer serve_line)
    : input_(input_fd), serve_line_(serve_line), backlog_(output_fd()) {}

void EventLoop::typed_into(Live& live) {
  live.dirty = true;
  live.typed_at = typed_at_ = loop_clock_ms();
  awaiting_answer_ = true;
}

EventLoop::~EventLoop() = default;

EventLoop* EventLoop::current() { return current_loop; }

EventLoop::Live* EventLoop::find(std::string_view id) {
  for (Live& live : runs_) {
    if (live.run->id() == id) return &live;
  }
  return nullptr;
}

bool EventLoop::has_run(std::string_view id) const {
  for (const Live& live : runs_) {
    if (live.run->id() == id) return true;
  }
  return false;
}

void EventLoop::add(std::unique_ptr<Run> run) {
  if (!input_open_) run->input_closed();
  const std::size_t entries = run->entry_count();
  if (runs_.empty() || !switched_on(Switch::kConcurrent)) defer_until_ = input_.read_total();
  runs_.push_back(Live{std::move(run), entries});
  layout_changed_ = true;
}

bool EventLoop::line_waiting() { return !kept_.empty() || input_.has_line(); }

void EventLoop::close_input() {
  if (!input_open_) return;
  input_open_ = false;
  for (Live& live : runs_) {
    live.run->input_closed();
    live.dirty = true;
  }
}

// With one run at a time, a line read while the run is live: its control
// requests are carried out, those for others dropped, the rest kept.
void EventLoop::route_line(std::string_view line, std::uint64_t offset) {
  Live& live = runs_.front();
  if (alone_ || offset >= defer_until_) {
    struct Dispatch {
      Run& run;
      void operator()(const Request& request) const { run.control(request); }
      void operator()(const KeystrokeLine& keys) const { run.type(keys.data); }
    };
    const RunLineUse use = route_run_line(line, live.run->id(), Dispatch{*live.run});
    if (use == RunLineUse::kDispatch) live.dirty = true;
    if (use != RunLineUse::kKeep || alone_) return;
  }
  kept_.emplace_back(line);
}

// With "concurrent": control requests go to the run they name (or nowhere);
// every other line is served at once.
void EventLoop::serve_concurrent(std::string_view line, bool more_waiting) {
  KeystrokeLine keys;
  if (match_keystroke_line(line, keys)) {
    if (Live* live = find(keys.run_id)) {
      live->run->type(keys.data);
      typed_into(*live);
    }
    return;
  }
  auto control = [this](const Request& request) {
    if (Live* live = find(request.run_id.value_or(""))) {
      live->run->control(request);
      live->dirty = true;
      if (request.type == "stdin.write") typed_into(*live);
    }
  };
  Result<Request> decoded = decode_request(line);
  if (!decoded) {
    const std::string_view trimmed = trim_white_space(line);
    if (trimmed.size() != line.size()) {
      Result<Request> again = decode_request(trimmed);
      if (again && is_control_type(again->type)) {
        control(*again);
        return;
      }
    }
    if (is_undecodable_control_request(trimmed)) return;
  } else if (is_control_type(decoded->type)) {
    control(*decoded);
    return;
  }
  serve_line_(line, &decoded, more_waiting);
}

// Serves one line; false when it ends the serving (not UTF-8).
bool EventLoop::serve_one(std::string_view line, bool more_waiting) {
  // The line feed belongs to the line for the UTF-8 check, but it is ASCII,
  // so checking the text without it is the same.
  if (!is_valid_utf8(line)) {
    stopped_ = true;
    kept_.clear();
    close_input();
    return false;
  }
  const bool large = line.size() >= kLargeLine;
  if (switched_on(Switch::kConcurrent)) {
    serve_concurrent(line, more_waiting);
  } else {
    serve_line_(line, nullptr, more_waiting);
  }
  // A long line's own storage goes only now that it is served. Once an
  // earlier large request has left free space in the heap, that storage came
  // from there rather than straight from the system, so the heap is given
  // back once more after it.
  if (large) {
    input_.release_served();
    trim_heap();
  }
  return true;
}

// Serves or routes every complete line there is; false once serving ends.
bool EventLoop::serve_lines() {
  std::string_view line;
  std::uint64_t offset = 0;
  while (!stopped_ && !output_broken()) {
    if (!runs_.empty() && (alone_ || !switched_on(Switch::kConcurrent))) {
      while (input_.take_line(line, offset)) route_line(line, offset);
      return true;
    }
    if (!kept_.empty()) {
      const std::string held = std::move(kept_.front());
      kept_.pop_front();
      if (!serve_one(held, line_waiting())) return false;
      continue;
    }
    if (input_.take_line(line)) {
      if (!serve_one(line, input_.has_line())) return false;
      continue;
    }
    // A last line without a line feed is served once the input has ended.
    if (!input_open_ && !input_.empty()) {
      input_.take_rest(line);
      if (!serve_one(line, false)) return false;
      continue;
    }
    return true;
  }
  return !stopped_;
}

void EventLoop::finish_done_runs() {
  std::size_t base = kFirstRunEntry;
  for (std::size_t i = 0; i < runs_.size();) {
    // A run can only have ended once something has been asked of it.
    Live& checked = runs_[i];
    const bool asked = checked.dirty || checked.touched;
    checked.touched = false;
    if (!asked || !checked.run->done()) {
      base += runs_[i].entries;
      ++i;
      continue;
    }
    // The entries of this run and of every later one (which move down) are
    // registered anew, before the run's descriptors are closed.
    poller_.forget_from(base);
    std::unique_ptr<Run> run = std::move(runs_[i].run);
    runs_.erase(runs_.begin() + static_cast<std::ptrdiff_t>(i));
    layout_changed_ = true;
    run->finish();
  }
}

void EventLoop::abandon_runs() {
  for (Live& live : runs_) live.run->abandon_begin();
  const long long deadline = loop_clock_ms() + kHangUpGraceMs;
  for (Live& live : runs_) live.run->abandon_end(deadline);
  runs_.clear();
}

// With no run live: waits for input as a blocking read would.
void EventLoop::read_idle() {
  switch (input_.read_some()) {
    case RequestInput::ReadOutcome::kData:
      return;
    case RequestInput::ReadOutcome::kEnd:
      close_input();
      return;
    case RequestInput::ReadOutcome::kError:
      stopped_ = true;
      close_input();
      return;
    case RequestInput::ReadOutcome::kAgain: {
      // Another holder of the descriptor's description may have made it
      // non-blocking; wait for input instead of polling it every millisecond.
      pollfd entry{input_.fd(), POLLIN, 0};
      ::poll(&entry, 1, -1);
      return;
    }
  }
}

// Gives every run its place in the wait's list, and has each prepared.
void EventLoop::lay_out() {
  std::size_t base = kFirstRunEntry;
  for (Live& live : runs_) {
    live.base = base;
    live.dirty = true;
    base += live.entries;
  }
  fds_.assign(base, pollfd{-1, 0, 0});
  layout_changed_ = false;
}

bool EventLoop::typing(const Live& live, long long now) const {
  return live.typed_at >= 0 && now - live.typed_at < kTypingWindowMs;
}

bool EventLoop::favouring(long long now) const {
  return runs_.size() > 1 && backlog_.known() && typed_at_ >= 0 &&
         now - typed_at_ < kTypingWindowMs;
}

// Shortly after a keystroke, a run not typed into that has output is held
// back; once the front end has read everything written before, one held run
// in turn reads one small piece. The answer to the keystroke then reaches the
// front end ahead of any flood, and every flood keeps moving. Runs with
// nothing to say cost nothing. Returns how many runs stay held.
std::size_t EventLoop::hold_back(bool favour, long long now) {
  std::size_t held = 0;
  for (Live& live : runs_) {
    if ((!favour && (live.held || live.limited)) || (live.held && typing(live, now))) {
      live.held = live.limited = live.released = false;
      live.dirty = true;
    }
    if (live.held) ++held;
  }
  // None in the wait right after a keystroke, whose answer is microseconds
  // away.
  if (held > 0 && !awaiting_answer_ && backlog_.bytes() == 0) {
    for (std::size_t k = 0; k < runs_.size(); ++k) {
      Live& live = runs_[(next_bulk_ + k) % runs_.size()];
      if (!live.held) continue;
      live.held = false;
      live.released = live.dirty = true;
      next_bulk_ += k + 1;
      --held;
      break;
    }
  }
  awaiting_answer_ = false;
  return held;
}

// One wait for the input, the front end and every live run, and what it
// found handed to each. Only the runs something has happened to are
// prepared and told; the others keep what they wait on.
void EventLoop::cycle() {
  if (layout_changed_) lay_out();
  fds_[kInputEntry] = {input_open_ && !stopped_ ? input_.fd() : -1, POLLIN, 0};
  // Watched even while every command is silent, so a front end that has
  // gone is noticed without waiting for a write to fail.
  const bool watch_changes = poller_.registered();
  poller_.set_edge_triggered(kFrontEndEntry, watch_changes);
  fds_[kFrontEndEntry] = watch_changes ? front_end_changes_ : front_end_poll_entry();

  const long long now = loop_clock_ms();
  const bool favour = favouring(now);
  const std::size_t held = hold_back(favour, now);
  long long next_deadline = -1;
  int spin_us = 0;
  bool any_done = false;
  for (Live& live : runs_) {
    if (live.dirty || (live.deadline >= 0 && now >= live.deadline)) {
      waits_.entries.assign(live.entries, pollfd{-1, 0, 0});
      waits_.edge.assign(live.entries, false);
      waits_.timeout_ms = -1;
      waits_.spin_us = 0;
      waits_.changes_only = poller_.registered();
      waits_.renewed = false;
      waits_.read_limit = live.limited ? kFavouredReadLimit : 0;
      live.run->prepare(waits_);
      live.touched = true;
      if (waits_.renewed) poller_.forget_from(live.base);
      // A run held back waits on nothing until its turn.
      for (std::size_t k = 0; k < live.entries; ++k) {
        fds_[live.base + k] = live.held ? pollfd{-1, 0, 0} : waits_.entries[k];
        poller_.set_edge_triggered(live.base + k, waits_.edge[k]);
      }
      live.deadline = waits_.timeout_ms >= 0 ? now + waits_.timeout_ms : -1;
      live.dirty = false;
      spin_us = std::max(spin_us, waits_.spin_us);
      any_done = any_done || live.run->done();
    }
    if (!live.held && live.deadline >= 0 && (next_deadline < 0 || live.deadline < next_deadline)) {
      next_deadline = live.deadline;
    }
  }
  int timeout = -1;
  if (next_deadline >= 0) timeout = static_cast<int>(std::max(0LL, next_deadline - now));
  if (held > 0 && (timeout < 0 || timeout > kBacklogCheckMs)) timeout = kBacklogCheckMs;
  if (any_done) timeout = 0;
  const int ready = poller_.poll_expecting(fds_.data(), fds_.size(), timeout, spin_us);
  if (ready < 0) {
    for (pollfd& entry : fds_) entry.revents = 0;
  }
  if (front_end_gone(fds_[kFrontEndEntry])) return;
  const long long after = loop_clock_ms();
  // The runs typed into go first, so that their answers come before
  // another run's output of the same cycle.
  for (const bool typed_first : {true, false}) {
    for (Live& live : runs_) {
      if ((favour && typing(live, now)) != typed_first || live.held) continue;
      const bool due = ready < 0 || (live.deadline >= 0 && after >= live.deadline);
      bool woken = due;
      for (std::size_t k = 0; k < live.entries && !woken; ++k) {
        woken = fds_[live.base + k].revents != 0;
      }
      if (!woken) continue;
      live.dirty = true;
      if (favour && !typing(live, now) && !live.released) {
        live.held = live.limited = true;  // told once its turn comes
        continue;
      }
      live.released = false;
      live.run->ready(&fds_[live.base], due);
    }
  }
  if (fds_[kInputEntry].revents != 0) {
    switch (input_.read_some()) {
      case RequestInput::ReadOutcome::kData:
      case RequestInput::ReadOutcome::kAgain:
        break;
      case RequestInput::ReadOutcome::kEnd:
      case RequestInput::ReadOutcome::kError:
        close_input();
        break;
    }
  }
}

// One turn of the loop; false once it is over.
bool EventLoop::turn() {
  try {
    if (output_broken()) {
      abandon_runs();
      return false;
    }
    serve_lines();
    finish_done_runs();
    if (!runs_.empty()) {
      cycle();
      return true;
    }
    if (alone_ || stopped_ || output_broken()) return false;
    if (line_waiting() || (!input_open_ && !input_.empty())) return true;
    if (!input_open_) return false;
    read_idle();
  } catch (const std::bad_alloc&) {
    // Nothing is lost by a turn that could not be set up: the next one waits
    // again on the same descriptors.
  }
  return true;
}

void EventLoop::serve() {
  EventLoop* const outer = current_loop;
  current_loop = this;
  const ReleaseOutput release;
  front_end_changes_ = front_end_change_entry();
  while (turn()) {
  }
  current_loop = outer;
}

void EventLoop::run_alone(std::unique_ptr<Run> run) {
  alone_ = true;
  front_end_changes_ = front_end_change_entry();
  add(std::move(run));
  while (turn()) {
  }
}

}  // namespace zelta
