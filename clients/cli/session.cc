// One executor for a sequence of runs: the foreground run and those in the background.
#include "clients/cli/session.h"

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <utility>

#include "clients/cli/diagnostics.h"
#include "clients/cli/raw_terminal.h"
#include "clients/cli/requests.h"
#include "clients/cli/signal_pipe.h"

namespace zelta::client {
namespace {

std::string current_directory() {
  char buffer[PATH_MAX];
  return getcwd(buffer, sizeof buffer) != nullptr ? std::string(buffer) : std::string();
}

struct RunShape {
  bool terminal_run;
  PipelineMode pipeline;
};

// A single command always runs on a terminal; a pipeline does when `on_terminal`
// (a pager pages, Ctrl-C reaches every member), else its output streams.
RunShape shape_of(const Json& tree, bool on_terminal) {
  const bool single = tree.contains("Command");
  const bool terminal_run = single || on_terminal;
  return {terminal_run, single         ? PipelineMode::kDefault
                        : terminal_run ? PipelineMode::kTerminal
                                       : PipelineMode::kStream};
}

}  // namespace

Session::~Session() {
  if (!executor_) return;
  for (const std::string& run_id : jobs_.live_run_ids()) {
    executor_->send(run_signal_request(run_id, "TERM"));
  }
}

bool Session::ensure_executor() {
  if (executor_) return true;
  auto started = ExecutorConnection::start(executor_path_, trace_);
  if (!started) {
    print_error(started.error());
    return false;
  }
  executor_ = std::move(started).value();
  return true;
}

void Session::forget_executor() {
  executor_.reset();
  router_ = EventRouter();
  concurrency_ = Concurrency::kUnknown;
  jobs_.end_all(1);
}

void Session::lose_executor(const char* detail) {
  print_error(detail != nullptr ? detail : "the executor ended unexpectedly");
  forget_executor();
}

void Session::on_other_line(const RoutedLine& line) {
  switch (line.kind) {
    case RoutedLine::Kind::kHelloReply: {
      const auto it = line.message.find("extensions");
      const bool has = it != line.message.end() && it->is_array() &&
                       std::find(it->begin(), it->end(), "concurrent") != it->end();
      concurrency_ = has ? Concurrency::kOn : Concurrency::kOff;
      return;
    }
    case RoutedLine::Kind::kEvent:
    case RoutedLine::Kind::kRefusal:
      // A background run on a terminal reads nothing from the user: end of file.
      if (jobs_.record(line)) executor_->send(stdin_write_request(line.run_id, kEndOfFileKey));
      return;
    case RoutedLine::Kind::kStale:
    case RoutedLine::Kind::kMalformed:
      return;
  }
}

void Session::serve_buffered() {
  while (executor_) {
    auto line = executor_->next_line();
    if (!line) return;
    RoutedLine routed = router_.route(*line);
    if (routed.kind == RoutedLine::Kind::kMalformed) {
      print_error("unexpected line from the executor: " + *line);
    }
    on_other_line(routed);
  }
}

std::size_t Session::idle_slots(pollfd* fds) {
  serve_buffered();
  if (!executor_ || (jobs_.live() == 0 && !router_.hello_pending())) return 0;
  std::size_t count = 0;
  fds[count++] = {executor_->output_fd(), POLLIN, 0};
  if (executor_->queued() > 0) fds[count++] = {executor_->input_fd(), POLLOUT, 0};
  return count;
}

void Session::on_idle_slots(const pollfd* fds, std::size_t count) {
  if (count == 0 || !executor_) return;
  if (count > 1 && fds[1].revents != 0 && !executor_->flush()) return lose_executor(nullptr);
  if (fds[0].revents == 0) return;
  if (!executor_->receive()) return lose_executor(nullptr);
  serve_buffered();
}

bool Session::switch_on_concurrent() {
  if (concurrency_ == Concurrency::kUnknown) {
    executor_->send(concurrent_hello_request());
    router_.expect_hello();
    // Asked only between runs, when the executor answers at once.
    while (executor_ && router_.hello_pending()) {
      pollfd fds[kIdleSlots];
      const std::size_t count = idle_slots(fds);
      if (count == 0) break;
      if (::poll(fds, count, -1) < 0 && errno != EINTR) {
        lose_executor("poll failed");
        break;
      }
      on_idle_slots(fds, count);
    }
  }
  return concurrency_ == Concurrency::kOn;
}

Session::Background Session::start_background(const Json& tree, std::string command_line,
                                              bool on_terminal, int& job_number) {
  if (!ensure_executor()) return Background::kFailed;
  if (!switch_on_concurrent()) return executor_ ? Background::kUnavailable : Background::kFailed;
  const RunShape shape = shape_of(tree, on_terminal);
  const std::string run_id = "r" + std::to_string(++runs_);
  std::optional<WindowSize> size;
  if (shape.terminal_run) size = user_window_size();
  executor_->send(run_ast_request(run_id, tree, current_directory(), size, shape.pipeline));
  job_number = jobs_.add(run_id, std::move(command_line), shape.terminal_run);
  return Background::kStarted;
}

RunOutcome Session::wait_background() {
  while (jobs_.live() > 0) {
    pollfd fds[kIdleSlots + 1];
    const std::size_t count = idle_slots(fds);
    if (count == 0) break;
    fds[count] = {signal_pipe_fd(), POLLIN, 0};
    if (::poll(fds, count + 1, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[count].revents != 0) {
      for (int signal_number : take_signals()) {
        if (signal_number == SIGWINCH) continue;
        if (isatty(STDERR_FILENO)) write_all(STDERR_FILENO, "\n");
        if (signal_number == SIGINT) return {130, false};
        return {128 + signal_number, true};
      }
    }
    on_idle_slots(fds, count);
  }
  return {0, false};
}

RunOutcome Session::run(const Json& tree, InputReader& input, InputMode mode) {
  if (!ensure_executor()) return {1, false};
  // Typed at a terminal, a pipeline runs on a terminal of its own like a single
  // command; read from a script, its output streams to the client's own standard
  // output and error.
  const RunShape shape = shape_of(tree, mode == InputMode::kKeystrokes);
  RunSetup setup;
  setup.run_id = "r" + std::to_string(++runs_);
  setup.mode = mode;
  setup.terminal_run = shape.terminal_run;
  setup.signal_pipeline_by_request = concurrency_ == Concurrency::kOn;
  std::optional<WindowSize> size;
  if (shape.terminal_run) size = user_window_size();
  // Raw mode only for the run itself: the prompt keeps the terminal's line editing.
  std::unique_ptr<RawTerminal> raw;
  if (shape.terminal_run && mode == InputMode::kKeystrokes) raw = RawTerminal::enter(input.fd());
  executor_->send(run_ast_request(setup.run_id, tree, current_directory(), size, shape.pipeline));
  RunLoop loop(
      *executor_, router_, [this](const RoutedLine& line) { on_other_line(line); }, input,
      std::move(setup));
  const RunOutcome outcome = loop.run();
  raw.reset();
  if (loop.lost()) forget_executor();
  return outcome;
}

}  // namespace zelta::client
