// The event loop of one run: executor output, keystrokes and signals through one poll.
#include "clients/cli/run_loop.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "clients/cli/diagnostics.h"
#include "clients/cli/signal_pipe.h"

namespace zelta::client {
namespace {

// Keystrokes are not read while this much is still queued for the executor.
constexpr std::size_t kQueueLimit = 64 * 1024;

}  // namespace

std::optional<WindowSize> user_window_size() {
  for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    winsize size{};
    if (isatty(fd) && ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0) {
      return WindowSize{size.ws_row, size.ws_col};
    }
  }
  return std::nullopt;
}

RunOutcome RunLoop::run() {
  if (reading_input_) keystrokes_ = input_.take_all();  // typed ahead at the prompt
  // Lines already read (after an earlier run's end) come first.
  while (!done_) {
    auto line = executor_.next_line();
    if (!line) break;
    on_line(*line);
  }
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

void RunLoop::newline_after_interrupt() const {
  if (isatty(STDERR_FILENO)) write_all(STDERR_FILENO, "\n");  // after the echoed ^C
}

RunOutcome RunLoop::finish_lost(const char* detail) {
  lost_ = true;
  done_ = true;
  if (interrupted_by_ != 0) {
    outcome_.status = 128 + interrupted_by_;
    newline_after_interrupt();
  } else {
    print_error(detail != nullptr ? detail : "the executor ended unexpectedly");
    outcome_.status = 1;
  }
  return outcome_;
}

void RunLoop::on_line(const std::string& line) {
  const RoutedLine routed = router_.route(line);
  if (routed.kind == RoutedLine::Kind::kMalformed) {
    print_error("unexpected line from the executor: " + line);
    return;
  }
  const bool mine = routed.run_id == setup_.run_id;
  if (routed.kind == RoutedLine::Kind::kRefusal && mine) {
    print_error(text_field(routed.message, "error"));
    outcome_.status = exit_code_field(routed.message);
    done_ = true;
    return;
  }
  if (routed.kind != RoutedLine::Kind::kEvent || !mine) {
    others_(routed);
    return;
  }
  const nlohmann::json& message = routed.message;
  const std::string& type = text_field(message, "type");
  if (type == "recv") {
    acknowledged_ = true;
    return;
  }
  if (!acknowledged_) return;
  if (type == "started") {
    on_started();
  } else if (type == "stdout") {
    write_output(STDOUT_FILENO, text_field(message, "data"));
  } else if (type == "stderr") {
    write_output(STDERR_FILENO, text_field(message, "data"));
  } else if (type == "exit") {
    outcome_.status = exit_code_field(message);
    if (interrupted_by_ != 0) {
      outcome_.status = 128 + interrupted_by_;
      newline_after_interrupt();
    }
    done_ = true;
  }
}

void RunLoop::on_started() {
  // Control lines are sent only now: one that reached the executor together with
  // the run request would be answered after the run as an unknown request.
  started_ = true;
  if (setup_.mode == InputMode::kNone) type_text(kEndOfFileKey);
  send_keystrokes();
  if (held_signal_) executor_.send(run_signal_request(setup_.run_id, *held_signal_));
  if (resize_held_) send_window_size();
}

// Gives the run's terminal the size the user's terminal has now.
void RunLoop::send_window_size() {
  if (!setup_.terminal_run) return;
  resize_held_ = !started_;
  if (resize_held_) return;
  if (auto size = user_window_size()) executor_.send(run_resize_request(setup_.run_id, *size));
}

void RunLoop::write_output(int fd, const std::string& data) {
  if (output_broken_) return;
  if (!write_all(fd, data)) {
    // Nobody reads the output any more: end the command instead of running blind.
    output_broken_ = true;
    if (setup_.terminal_run) request_signal("TERM");
  }
}

void RunLoop::on_input() {
  if (!input_.fill()) {
    reading_input_ = false;
    if (setup_.mode == InputMode::kStream) {
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

void RunLoop::send_keystrokes() {
  std::string text = take_sendable(keystrokes_);
  if (!text.empty()) type_text(text);
}

void RunLoop::type_text(std::string_view text) {
  executor_.send(stdin_write_request(setup_.run_id, text));
  last_typed_ = text.back();
}

void RunLoop::request_signal(const char* name) {
  if (!setup_.terminal_run) return;
  if (started_) {
    executor_.send(run_signal_request(setup_.run_id, name));
  } else {
    held_signal_ = name;
  }
}

void RunLoop::on_signals() {
  for (int signal_number : take_signals()) {
    if (signal_number == SIGWINCH) {
      send_window_size();
      continue;
    }
    const bool interrupt = signal_number == SIGINT;
    if (!interrupt) outcome_.terminate = true;
    if (!setup_.terminal_run) {
      interrupted_by_ = signal_number;
      if (setup_.signal_pipeline_by_request) {
        // Its members get the signal; the executor and its other runs go on.
        executor_.send(run_signal_request(setup_.run_id, interrupt ? "INT" : "TERM"));
      } else {
        // Stop its members and the executor, which is started again for the next run.
        executor_.signal_group(signal_number);
      }
      continue;
    }
    // A second termination signal insists.
    request_signal(interrupt ? "INT" : (terminations_++ == 0 ? "TERM" : "KILL"));
  }
}

}  // namespace zelta::client
