// Test support: a terminal run driven in-process, its output lines captured
// from a pipe and its control input fed through another.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "launch/pty_launch.h"
#include "loop/run_alone.h"
#include "protocol/output.h"
#include "supervise/terminal_run.h"

namespace zelta::testing {

/// The launch form of `command` with `args` on a new terminal.
inline LaunchForm execute_form(std::string command, std::vector<std::string> args = {}) {
  LaunchForm form;
  form.kind = LaunchKind::kTerminalCommand;
  form.commands.push_back({std::move(command), std::move(args), {}});
  form.run_id = "r1";
  return form;
}

/// Runs one launched command under supervise_pty_run on a thread; the test
/// reads the output lines and writes control input.
class PtyHarness {
 public:
  PtyHarness() {
    int out[2], in[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
    out_read_ = out[0];
    out_write_ = out[1];
    in_read_ = in[0];
    in_write_ = in[1];
    set_output_fd_for_testing(out_write_);
  }
  ~PtyHarness() {
    close_input();
    if (thread_.joinable()) {
      // Keep reading so a run blocked on a full output pipe can finish.
      while (read_line(std::chrono::milliseconds(20000))) {
      }
      thread_.join();
    }
    set_output_fd_for_testing(1);
    ::close(out_read_);
    ::close(out_write_);
    ::close(in_read_);
  }

  /// Launches `form` (preferring `method`); on failure returns the error text.
  std::optional<std::string> start(const LaunchForm& form,
                                   LaunchMethod method = LaunchMethod::kVforkClone) {
    auto launch = launch_pty(form, method);
    if (!launch) return launch.error();
    child_pid_ = launch->child_pid;
    method_ = launch->method;
    thread_ = std::thread([this, l = std::move(launch).value()]() mutable {
      supervise_pty_run(std::move(l), in_read_);
      done_ = true;
      // Wake the reader: the run's last line is already in the pipe.
      static const char kDone[] = "{\"harness\":\"done\"}\n";
      EXPECT_EQ(::write(out_write_, kDone, sizeof kDone - 1), ssize_t(sizeof kDone - 1));
    });
    return std::nullopt;
  }

  pid_t child_pid() const { return child_pid_; }
  /// How the last started child was created.
  LaunchMethod method() const { return method_; }

  void send(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = ::write(in_write_, bytes.data(), bytes.size());
      if (n <= 0) return;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  void close_input() {
    if (in_write_ >= 0) ::close(in_write_);
    in_write_ = -1;
  }

  /// The next output line, or nullopt after the run ended or on time-out.
  std::optional<std::string> read_line(
      std::chrono::milliseconds timeout = std::chrono::milliseconds(20000)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
      auto nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        if (line == "{\"harness\":\"done\"}") return std::nullopt;
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd pfd{out_read_, POLLIN, 0};
      if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[65536];
      ssize_t n = ::read(out_read_, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  /// Reads every line up to the end of the run, parsed.
  std::vector<nlohmann::json> events_until_end() {
    std::vector<nlohmann::json> events;
    while (auto line = read_line()) events.push_back(nlohmann::json::parse(*line));
    if (thread_.joinable()) thread_.join();
    return events;
  }

 private:
  int out_read_ = -1, out_write_ = -1, in_read_ = -1, in_write_ = -1;
  pid_t child_pid_ = -1;
  LaunchMethod method_ = LaunchMethod::kFork;
  std::string buffer_;
  std::thread thread_;
  std::atomic<bool> done_{false};
};

/// Concatenated "stdout" texts of a run's events.
inline std::string output_of(const std::vector<nlohmann::json>& events) {
  std::string text;
  for (const auto& e : events) {
    if (e.value("type", "") == "stdout") text += e.at("stdout").get<std::string>();
  }
  return text;
}

/// The exit code of the "exit" event (which must be last), or -1.
inline int exit_code_of(const std::vector<nlohmann::json>& events) {
  if (events.empty() || events.back().value("type", "") != "exit") return -1;
  return events.back().at("exit_code").get<int>();
}

}  // namespace zelta::testing
