// The event loop of the foreground run: executor output, keystrokes and signals.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "clients/cli/event_router.h"
#include "clients/cli/executor_connection.h"
#include "clients/cli/input_reader.h"
#include "clients/cli/requests.h"

namespace zelta::client {

/// What a terminal run does with the client's standard input.
enum class InputMode {
  /// Standard input is the user's terminal: it goes into raw mode for the run and
  /// every keystroke is sent as "stdin.write" as it is typed.
  kKeystrokes,
  /// Standard input is a file or pipe: its bytes are sent as "stdin.write", and at
  /// its end the terminal's end-of-file key (Ctrl-D) is typed.
  kStream,
  /// Nothing is forwarded; end-of-file is typed at once, so a command that reads
  /// its terminal sees an empty input instead of waiting forever.
  kNone,
};

/// How one run ended.
struct RunOutcome {
  /// The command's exit code, 1 after an error reply or a lost executor, or
  /// 128 + n when signal n made the client interrupt a pipeline.
  int status = 0;
  /// A termination signal (SIGTERM, SIGHUP, SIGQUIT) reached the client during the
  /// run; the client should end after it.
  bool terminate = false;
};

/// The size of the user's terminal, when one of the client's streams is a terminal.
std::optional<WindowSize> user_window_size();

/// The end of file key of a terminal (Ctrl-D).
inline constexpr char kEndOfFileKey[] = "\x04";

/// How the foreground run is driven.
struct RunSetup {
  std::string run_id;
  InputMode mode = InputMode::kNone;
  /// A single command, or a pipeline on a terminal: it takes control requests from
  /// its "started" on.
  bool terminal_run = false;
  /// Interrupt a pipeline on pipes with "run.signal" instead of signalling the
  /// executor's process group (which would end the other runs of that executor).
  bool signal_pipeline_by_request = false;
};

/// Renders one run until its "exit", its refusal or the loss of the executor. Lines
/// of other runs, and replies that are not for this run, go to `others`.
class RunLoop {
 public:
  using Others = std::function<void(const RoutedLine&)>;

  RunLoop(ExecutorConnection& executor, EventRouter& router, Others others, InputReader& input,
          RunSetup setup)
      : executor_(executor),
        router_(router),
        others_(std::move(others)),
        input_(input),
        setup_(std::move(setup)),
        reading_input_(setup_.terminal_run && setup_.mode != InputMode::kNone) {}

  RunOutcome run();
  /// True when the executor has gone (or can no longer be used) during the run.
  bool lost() const { return lost_; }

 private:
  RunOutcome finish_lost(const char* detail);
  void on_line(const std::string& line);
  void on_started();
  void send_window_size();
  void write_output(int fd, const std::string& data);
  void on_input();
  void send_keystrokes();
  void type_text(std::string_view text);
  void request_signal(const char* name);
  void on_signals();
  void newline_after_interrupt() const;

  ExecutorConnection& executor_;
  EventRouter& router_;
  Others others_;
  InputReader& input_;
  RunSetup setup_;
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

}  // namespace zelta::client
