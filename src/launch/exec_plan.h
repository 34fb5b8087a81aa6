// The exec plan of one command on a terminal, built before any fork: a
// single command's, or a job member's.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "launch/child_side.h"
#include "launch/environment.h"
#include "tree/launch_form.h"

namespace zelta {

/// What one child runs (`exec`) and the memory it points into. Not movable.
struct ExecPlan {
  ExecPlan() = default;
  ExecPlan(const ExecPlan&) = delete;
  ExecPlan& operator=(const ExecPlan&) = delete;

  /// `slave_fd` is -1 and `descriptor_bound` empty: the launch sets them
  /// once every descriptor of the launch is open.
  ChildExec exec;

  std::string command;
  std::vector<std::string> argv_strings;
  std::vector<char*> argv;
  std::vector<std::string> shell_strings;
  std::vector<char*> shell_argv;
  std::optional<EnvironmentBlock> environment;
  std::vector<std::string> candidates;
  std::vector<const char*> candidate_pointers;
  std::vector<RedirectStep> steps;
  /// The descriptors the steps install (here-document files), ascending.
  std::vector<int> kept_fds;
  std::string setup_failure;
  std::string exec_failure;
  std::string scratch;
};

/// Builds the plan of `command`, one of `form`'s commands: the terminal
/// environment rules for its own word, the form's `cwd` and `env`, the
/// program candidates of the composed PATH, and its redirections, whose
/// here-documents are stored now (in the child environment's TMPDIR, else
/// /tmp, taken from `cwd`). Duplications between standard streams ("2>&1")
/// are steps only for a job's member, whose standard output is a pipe; on a
/// single command all three are the terminal. Problems the child reports (a
/// NUL byte, a variable name that cannot be set, a directory that cannot be
/// opened) become its failure lines. `reset_signals` (count entries) must
/// outlive the plan.
std::unique_ptr<ExecPlan> build_exec_plan(const LaunchCommand& command, const LaunchForm& form,
                                          const int* reset_signals, std::size_t count);

/// Builds the error-text table children read (g_child_error_texts). Call
/// before creating the first child (cheap after the first call).
void prepare_child_error_texts();

/// Pointers to the characters of each of `strings`, then a null pointer: an
/// argument vector for a plan, made before the child exists. Valid while
/// `strings` is neither changed nor destroyed.
std::vector<char*> pointers_to(std::vector<std::string>& strings);

}  // namespace zelta
