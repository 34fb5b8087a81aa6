// Everything a pseudo-terminal child needs, prepared before the fork, and the
// code the child runs. The child may only make async-signal-safe calls.
#pragma once

#include <cstddef>

#include "platform/close_descriptors.h"

namespace zelta {

/// A plan for the forked child. Every pointer refers to memory the parent
/// prepared before the fork and keeps alive until the fork has returned; the
/// child only reads it (and fills the two scratch areas below).
struct ChildExec {
  /// The slave side of the terminal: controlling terminal and the default of
  /// every standard stream.
  int slave_fd = -1;
  /// The run's working directory opened as a path descriptor, or -1 to stay
  /// in the executor's directory.
  int cwd_fd = -1;
  /// Descriptors installed as 0, 1 and 2; -1 keeps the terminal.
  int stdio_fds[3] = {-1, -1, -1};
  /// How far the child closes descriptors; found just before the fork.
  DescriptorBound descriptor_bound;

  /// When set, the child writes this message to its standard error (after its
  /// streams are installed) and exits with `setup_failure_status`, without
  /// trying to execute anything.
  const char* setup_failure = nullptr;
  std::size_t setup_failure_length = 0;
  int setup_failure_status = 126;

  char* const* argv = nullptr;
  char* const* envp = nullptr;
  /// The paths to try in order (the exec search over the composed PATH).
  const char* const* candidates = nullptr;
  std::size_t candidate_count = 0;
  /// "/bin/sh", <slot for the candidate>, argv[1], ..., nullptr: used when a
  /// candidate is not an executable format (a script without "#!").
  char** shell_argv = nullptr;

  /// "<command>: command not found\n".
  const char* not_found = nullptr;
  std::size_t not_found_length = 0;
  /// Scratch buffer of `failure_capacity` bytes whose first `failure_prefix_length`
  /// bytes hold "<command>: failed to execute: "; the child appends the error
  /// text and "\n".
  char* failure = nullptr;
  std::size_t failure_prefix_length = 0;
  std::size_t failure_capacity = 0;
};

/// Room the failure buffer needs after its prefix for any error text.
inline constexpr std::size_t kFailureTextRoom = 160;

/// Builds the error-text table the child reads. Call before the first fork
/// (cheap after the first call).
void prepare_child_error_texts();

/// Runs in the forked child: makes the terminal its controlling terminal,
/// installs the standard streams, changes directory, closes every other
/// descriptor, resets the signal mask
/// and every disposition to the default, and executes the first candidate
/// that can be executed. On failure writes the message to standard error and
/// exits with 127 (not found) or 126 (anything else). Never returns.
[[noreturn]] void exec_in_child(const ChildExec& plan);

}  // namespace zelta
