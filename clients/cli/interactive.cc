// The prompt loop of the interactive mode.
#include "clients/cli/interactive.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "clients/cli/diagnostics.h"
#include "clients/cli/signal_pipe.h"
#include "clients/cli/syntax_tree.h"
#include "clients/cli/word_splitter.h"

namespace zelta::client {
namespace {

enum class LineStatus { kLine, kEnd, kInterrupted, kTerminated };

struct PromptedLine {
  LineStatus status;
  std::string text;
};

PromptedLine read_line(InputReader& input, Session& session, const char* prompt, bool show_prompt) {
  if (show_prompt) write_all(STDERR_FILENO, prompt);
  while (true) {
    if (auto line = input.take_line()) return {LineStatus::kLine, std::move(*line)};
    if (input.at_end()) {
      std::string rest = input.take_all();
      if (rest.empty()) return {LineStatus::kEnd, {}};
      return {LineStatus::kLine, std::move(rest)};
    }
    // Slots: input, signals, then what background runs need served.
    pollfd fds[2 + Session::kIdleSlots] = {{input.fd(), POLLIN, 0}, {signal_pipe_fd(), POLLIN, 0}};
    const std::size_t idle = session.idle_slots(fds + 2);
    if (::poll(fds, 2 + idle, -1) < 0) {
      if (errno == EINTR) continue;
      return {LineStatus::kEnd, {}};
    }
    session.on_idle_slots(fds + 2, idle);
    if (fds[1].revents != 0) {
      bool interrupted = false;
      for (int signal_number : take_signals()) {
        if (signal_number == SIGWINCH) continue;  // each run asks for the size anew
        if (signal_number != SIGINT) return {LineStatus::kTerminated, {}};
        interrupted = true;
      }
      if (!interrupted) continue;
      input.take_all();  // the terminal has dropped the typed line too
      if (show_prompt) write_all(STDERR_FILENO, "\n");
      return {LineStatus::kInterrupted, {}};
    }
    if (fds[0].revents != 0) input.fill();
  }
}

// Runs `exit`, `cd`, `jobs` and `wait`; nullopt when `line` is not a built-in.
std::optional<int> run_builtin(const CommandLine& line, Session& session, int last_status,
                               bool& leave) {
  if (line.size() != 1 || !line[0].redirections.empty()) return std::nullopt;
  const auto& words = line[0].words;
  const std::string& name = words[0].text;
  if (name == "exit") {
    leave = true;
    if (words.size() < 2) return last_status;
    char* end = nullptr;
    const long value = std::strtol(words[1].text.c_str(), &end, 10);
    if (*end != '\0' || words[1].text.empty()) {
      print_error("exit: numeric argument required");
      return 2;
    }
    return static_cast<int>(value & 0xFF);
  }
  if (name == "cd") {
    const char* home = std::getenv("HOME");
    const std::string target = words.size() > 1 ? words[1].text : (home ? home : "/");
    if (::chdir(target.c_str()) != 0) {
      print_error("cd: " + target + ": " + std::strerror(errno));
      return 1;
    }
    return 0;
  }
  if (name == "jobs") {
    write_all(STDERR_FILENO, session.take_notices());
    write_all(STDOUT_FILENO, session.job_listing());
    return 0;
  }
  if (name == "wait") {
    const RunOutcome outcome = session.wait_background();
    leave = outcome.terminate;
    return outcome.status;
  }
  return std::nullopt;
}

// The typed line without its trailing '&' and the blanks before it.
std::string shown_line(const std::string& text, std::size_t ampersand) {
  std::size_t end = ampersand;
  while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  return text.substr(0, end);
}

}  // namespace

int run_interactive(Session& session, InputReader& input) {
  const bool terminal = isatty(input.fd());
  const InputMode mode = terminal ? InputMode::kKeystrokes : InputMode::kNone;
  int status = 0;
  while (true) {
    write_all(STDERR_FILENO, session.take_notices());
    PromptedLine read = read_line(input, session, "zelta$ ", terminal);
    if (read.status == LineStatus::kEnd) {
      if (terminal) write_all(STDERR_FILENO, "\n");
      return status;
    }
    if (read.status == LineStatus::kTerminated) return status;
    if (read.status == LineStatus::kInterrupted) {
      status = 130;
      continue;
    }
    std::string text = std::move(read.text);
    auto split = split_job_line(text);
    while (!split && split.error().incomplete) {
      PromptedLine more = read_line(input, session, "> ", terminal);
      if (more.status != LineStatus::kLine) break;
      text += '\n';
      text += more.text;
      split = split_job_line(text);
    }
    if (!split) {
      print_error(split.error().message);
      status = 2;
      continue;
    }
    if (split->commands.empty()) continue;
    bool leave = false;
    if (auto builtin = run_builtin(split->commands, session, status, leave)) {
      status = *builtin;
      if (leave) return status;
      continue;
    }
    auto tree = build_tree(split->commands, mode == InputMode::kKeystrokes);
    if (!tree) {
      print_error(tree.error());
      status = 2;
      continue;
    }
    if (split->background) {
      int job = 0;
      const auto started = session.start_background(*tree, shown_line(text, split->background_at),
                                                    mode == InputMode::kKeystrokes, job);
      if (started == Session::Background::kStarted) {
        if (terminal) write_all(STDERR_FILENO, "[" + std::to_string(job) + "]\n");
        status = 0;
        continue;
      }
      if (started == Session::Background::kFailed) {
        status = 1;
        continue;
      }
      print_error(
          "background runs need an executor with \"concurrent\"; running in the foreground");
    }
    const RunOutcome outcome = session.run(*tree, input, mode);
    status = outcome.status;
    if (outcome.terminate) return status;
  }
}

}  // namespace zelta::client
