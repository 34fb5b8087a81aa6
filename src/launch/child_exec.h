// Everything a pseudo-terminal child needs, prepared before it is created, and
// the code the child runs. The child may only make async-signal-safe calls.
//
// A clone child shares the executor's memory until its exec: it reads the
// plan and the error-text table, writes only the plan's scratch areas, and
// its failing calls set the errno of the thread that launched it (restored
// by the launch). It has its own copies of the descriptor table, signal
// dispositions and mask, and runs on a private stack with every signal
// blocked until it has set its dispositions back to the default.
#pragma once

#include <signal.h>

#include <cstddef>
#include <string>
#include <vector>

#include "launch/redirections.h"
#include "platform/close_descriptors.h"

namespace zelta {

/// A plan for the child. Every pointer refers to memory the parent prepared
/// before creating the child and keeps alive until the launch has returned;
/// the child only reads it (and fills the scratch areas below).
struct ChildExec {
  /// The slave side of the terminal: controlling terminal and the first
  /// setting of every standard stream. -1 keeps the session, process group
  /// and streams the child was created with.
  int slave_fd = -1;
  /// The run's working directory, entered with chdir; nullptr stays put.
  const char* cwd = nullptr;
  /// Write end of the launch's readiness pipe, or -1: closed once the
  /// terminal is the child's controlling terminal, before the directory
  /// change and any step that may block.
  int ready_fd = -1;

  /// How far the child closes descriptors above 2.
  DescriptorBound descriptor_bound;
  /// The descriptors above 2 the redirection steps install (here-document
  /// files), in ascending order: the only ones the child keeps past taking
  /// its terminal.
  const int* kept_fds = nullptr;
  std::size_t kept_fd_count = 0;

  /// Signals whose disposition the child sets back to the default (those the
  /// parent found not at their default).
  const int* reset_signals = nullptr;
  std::size_t reset_signal_count = 0;

  /// When set, the child writes this message to its standard error (after its
  /// directory is set) and exits with `setup_failure_status`, without
  /// applying redirections or executing anything.
  const char* setup_failure = nullptr;
  std::size_t setup_failure_length = 0;
  int setup_failure_status = 126;

  /// When set, written to standard error in place of the exec (after the
  /// redirections), and the child exits with 126.
  const char* exec_failure = nullptr;
  std::size_t exec_failure_length = 0;

  /// Redirection steps, applied in order after the setup checks.
  const RedirectStep* redirects = nullptr;
  std::size_t redirect_count = 0;

  char* const* argv = nullptr;
  char* const* envp = nullptr;
  /// The paths to try in order (the exec search over the composed PATH).
  const char* const* candidates = nullptr;
  std::size_t candidate_count = 0;
  /// "/bin/sh", <slot for the candidate>, argv[1], ..., nullptr: used when a
  /// candidate is not an executable format (a script without "#!").
  char** shell_argv = nullptr;

  /// The command word, for the "command not found" and "failed to execute"
  /// messages.
  const char* command = nullptr;
  std::size_t command_length = 0;
  /// Scratch buffer of `scratch_capacity` bytes where the child builds a
  /// message line; room for the longest name plus kFailureTextRoom.
  char* scratch = nullptr;
  std::size_t scratch_capacity = 0;
};

/// Room a message line needs beyond the name it starts with.
inline constexpr std::size_t kFailureTextRoom = 200;

/// Builds the error-text table the child reads. Call before creating the
/// first child (cheap after the first call).
void prepare_child_error_texts();

/// Pointers to the characters of each of `strings`, then a null pointer: an
/// argument vector for a plan, made before the child exists. Valid while
/// `strings` is neither changed nor destroyed.
std::vector<char*> pointers_to(std::vector<std::string>& strings);

/// The signals (1 to NSIG-1 but SIGKILL and SIGSTOP) whose disposition is not
/// the default in this process right now; `out` holds NSIG entries. Returns
/// the count.
std::size_t signals_not_at_default(int* out);

/// Runs in the child: resets the listed dispositions and clears the signal
/// mask, starts a session and makes the terminal its controlling terminal on
/// 0-2, closes every descriptor above 2 but `kept_fds` (the readiness pipe
/// among them), enters the working directory, applies the redirection steps,
/// closes the rest and executes the first candidate that can be executed. A
/// session or terminal the system refuses writes "<command>: cannot start a
/// session: <reason>\n" or "<command>: cannot take the terminal: <reason>\n"
/// and exits with 126. A directory that cannot be entered or a redirection
/// that cannot be applied writes "<name>: <reason>\n" to standard error and
/// exits with 1; a failed exec writes "<command>: command not found\n" (127)
/// or "<command>: failed to execute: <reason>\n" (126). Never returns.
[[noreturn]] void exec_in_child(const ChildExec& plan);

}  // namespace zelta
