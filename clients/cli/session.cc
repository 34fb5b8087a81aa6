// The event loop of one run: executor output, keystrokes and signals through one poll.
#include "clients/cli/session.h"

#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>
#include <optional>
#include <utility>

#include "clients/cli/diagnostics.h"
#include "clients/cli/raw_terminal.h"
#include "clients/cli/requests.h"
#include "clients/cli/signal_pipe.h"

namespace zelta::client {
namespace {

// Keystrokes are not read while this much is still queued for the executor.
constexpr std::size_t kQueueLimit = 64 * 1024;
constexpr char kEndOfFileKey[] = "\x04";

std::optional<WindowSize> user_window_size() {
  for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    winsize size{};
    if (isatty(fd) && ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0) {
      return WindowSize{size.ws_row, size.ws_col};
    }
  }
  return std::nullopt;
}

std::string current_directory() {
  char buffer[PATH_MAX];
  return getcwd(buffer, sizeof buffer) != nullptr ? std::string(buffer) : std::string();
}

// A text member of an executor line, or "" when absent or not text.
const std::string& text_field(const nlohmann::json& message, const char* key) {
  static const std::string kNone;
  const auto it = message.find(key);
  return it != message.end() && it->is_string() ? it->get_ref<const std::string&>() : kNone;
}

// The exit code member, or 1 when absent or not an integer.
int exit_code_field(const nlohmann::json& message) {
  const auto it = message.find("exit_code");
  return it != message.end() && it->is_number_integer() ? it->get<int>() : 1;
}

class RunLoop {
 public:
  RunLoop(ExecutorConnection& executor, InputReader& input, InputMode mode, std::string run_id,
          bool terminal_run)
      : executor_(executor),
        input_(input),
        mode_(mode),
        run_id_(std::move(run_id)),
        terminal_run_(terminal_run),
        reading_input_(terminal_run && mode != InputMode::kNone) {}

  // Runs until the run's end.
  RunOutcome run() {
    if (reading_input_) keystrokes_ = input_.take_all();  // typed ahead at the prompt
    while (!done_) {
      // Slots: executor output, signals, then optionally keystrokes and the queue.
      pollfd fds[4] = {{executor_.output_fd(), POLLIN, 0}, {signal_pipe_fd(), POLLIN, 0}};
      nfds_t count = 2;
      const bool want_input = reading_input_ && started_ && executor_.queued() < kQueueLimit;
      const bool want_queue = executor_.queued() > 0;
      if (want_input) fds[count++] = {input_.fd(), POLLIN, 0};
      if (want_queue) fds[count++] = {executor_.input_fd(), POLLOUT, 0};
      if (::poll(fds, count, -1) < 0) {
        if (errno == EINTR) continue;
        return finish_lost("poll failed");
      }
      if (fds[1].revents != 0) on_signals();
      if (want_input && fds[2].revents != 0) on_input();
      if (want_queue && fds[count - 1].revents != 0 && !executor_.flush()) {
        return finish_lost(nullptr);
      }
      if (fds[0].revents != 0) {
        if (!executor_.receive()) return finish_lost(nullptr);
        while (!done_) {
          auto line = executor_.next_line();
          if (!line) break;
          on_line(*line);
        }
      }
    }
    return outcome_;
  }

  // True when the executor has gone (or can no longer be used) during the run.
  bool lost() const { return lost_; }

 private:
  RunOutcome finish_lost(const char* detail) {
    lost_ = true;
    done_ = true;
    if (interrupted_by_ != 0) {
      outcome_.status = 128 + interrupted_by_;
      if (isatty(STDERR_FILENO)) write_all(STDERR_FILENO, "\n");  // after the echoed ^C
    } else {
      print_error(detail != nullptr ? detail : "the executor ended unexpectedly");
      outcome_.status = 1;
    }
    return outcome_;
  }

  void on_line(const std::string& line) {
    const nlohmann::json message = nlohmann::json::parse(line, nullptr, false);
    if (!message.is_object()) {
      print_error("unexpected line from the executor: " + line);
      return;
    }
    const std::string& type = text_field(message, "type");
    if (type == "recv") {
      acknowledged_ |= text_field(message, "run_id") == run_id_;
      return;
    }
    // Replies that arrive before this run's acknowledgement answer control lines that
    // reached the executor after an earlier run had ended.
    if (!acknowledged_) return;
    if (type.empty() && message.contains("error")) {
      print_error(text_field(message, "error"));
      outcome_.status = exit_code_field(message);
      done_ = true;
      return;
    }
    if (text_field(message, "run_id") != run_id_) return;
    if (type == "started") {
      on_started();
    } else if (type == "stdout") {
      write_output(STDOUT_FILENO, text_field(message, "data"));
    } else if (type == "stderr") {
      write_output(STDERR_FILENO, text_field(message, "data"));
    } else if (type == "exit") {
      outcome_.status = exit_code_field(message);
      done_ = true;
    }
  }

  void on_started() {
    // Control lines are sent only now: one that reached the executor together with
    // the run request would be answered after the run as an unknown request.
    started_ = true;
    if (mode_ == InputMode::kNone) type_text(kEndOfFileKey);
    send_keystrokes();
    if (held_signal_) executor_.send(run_signal_request(run_id_, *held_signal_));
    if (resize_held_) send_window_size();
  }

  // Gives the run's terminal the size the user's terminal has now.
  void send_window_size() {
    if (!terminal_run_) return;
    resize_held_ = !started_;
    if (resize_held_) return;
    if (auto size = user_window_size()) executor_.send(run_resize_request(run_id_, *size));
  }

  void write_output(int fd, const std::string& data) {
    if (output_broken_) return;
    if (!write_all(fd, data)) {
      // Nobody reads the output any more: end the command instead of running blind.
      output_broken_ = true;
      if (terminal_run_) request_signal("TERM");
    }
  }

  void on_input() {
    if (!input_.fill()) {
      reading_input_ = false;
      if (mode_ == InputMode::kStream) {
        std::string rest = std::exchange(keystrokes_, {});
        if (!rest.empty()) type_text(rest);
        // Ctrl-D ends the terminal's input only at the start of a line; after other
        // text the first one just hands that text over.
        type_text(last_typed_ == '\n' || last_typed_ == '\0' ? "\x04" : "\x04\x04");
      }
      return;
    }
    keystrokes_ += input_.take_all();
    send_keystrokes();
  }

  void send_keystrokes() {
    std::string text = take_sendable(keystrokes_);
    if (!text.empty()) type_text(text);
  }

  void type_text(std::string_view text) {
    executor_.send(stdin_write_request(run_id_, text));
    last_typed_ = text.back();
  }

  void request_signal(const char* name) {
    if (!terminal_run_) return;
    if (started_) {
      executor_.send(run_signal_request(run_id_, name));
    } else {
      held_signal_ = name;
    }
  }

  void on_signals() {
    for (int signal_number : take_signals()) {
      if (signal_number == SIGWINCH) {
        send_window_size();
        continue;
      }
      const bool interrupt = signal_number == SIGINT;
      if (!interrupt) outcome_.terminate = true;
      if (!terminal_run_) {
        // A pipeline has no control requests: stop its members and the executor.
        interrupted_by_ = signal_number;
        executor_.signal_group(signal_number);
        continue;
      }
      // A second termination signal insists.
      request_signal(interrupt ? "INT" : (terminations_++ == 0 ? "TERM" : "KILL"));
    }
  }

  ExecutorConnection& executor_;
  InputReader& input_;
  InputMode mode_;
  std::string run_id_;
  bool terminal_run_;
  bool reading_input_;
  bool acknowledged_ = false;
  bool started_ = false;
  bool done_ = false;
  bool lost_ = false;
  bool output_broken_ = false;
  bool resize_held_ = false;
  int terminations_ = 0;
  int interrupted_by_ = 0;
  char last_typed_ = '\0';
  std::string keystrokes_;
  std::optional<std::string> held_signal_;
  RunOutcome outcome_;
};

}  // namespace

RunOutcome Session::run(const Json& tree, InputReader& input, InputMode mode) {
  if (!executor_) {
    auto started = ExecutorConnection::start(executor_path_, trace_);
    if (!started) {
      print_error(started.error());
      return {1, false};
    }
    executor_ = std::move(started).value();
  }
  // Typed at a terminal, a pipeline runs on a terminal of its own like a single
  // command (a pager pages, Ctrl-C reaches every member); read from a script, its
  // output streams to the client's own standard output and error.
  const bool single = tree.contains("Command");
  const bool terminal_run = single || mode == InputMode::kKeystrokes;
  const PipelineMode pipeline = single         ? PipelineMode::kDefault
                                : terminal_run ? PipelineMode::kTerminal
                                               : PipelineMode::kStream;
  const std::string run_id = "r" + std::to_string(++runs_);
  std::optional<WindowSize> size;
  if (terminal_run) size = user_window_size();
  // Raw mode only for the run itself: the prompt keeps the terminal's line editing.
  std::unique_ptr<RawTerminal> raw;
  if (terminal_run && mode == InputMode::kKeystrokes) raw = RawTerminal::enter(input.fd());
  executor_->send(run_ast_request(run_id, tree, current_directory(), size, pipeline));
  RunLoop loop(*executor_, input, mode, run_id, terminal_run);
  const RunOutcome outcome = loop.run();
  raw.reset();
  if (loop.lost()) executor_.reset();
  return outcome;
}

}  // namespace zelta::client
