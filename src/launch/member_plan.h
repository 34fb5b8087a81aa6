// Everything one member of a pipeline on a terminal needs before any fork:
// its exec plan and the memory that plan points into.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "launch/child_exec.h"
#include "launch/environment.h"
#include "protocol/request.h"

namespace zelta {

/// The prepared member. Not movable: `exec` points into the other fields.
struct MemberPlan {
  MemberPlan() = default;
  MemberPlan(const MemberPlan&) = delete;
  MemberPlan& operator=(const MemberPlan&) = delete;

  /// Run by the member's child once its standard streams and process group
  /// are in place: `exec.slave_fd` is -1, so the streams are left as found.
  ChildExec exec;

  std::string command;
  std::string cwd;
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

/// Prepares `member` of a pipeline form to run on a terminal: the terminal
/// environment rules for its own command word, the form's `cwd` ("/tmp" when
/// absent) and `env`, and its redirections with the rules and failure lines
/// of a single command; "2>&1" and the like duplicate one standard stream
/// onto another. Problems that the child reports (a NUL byte, a variable
/// name that cannot be set) become its failure lines, as for a single
/// command. `reset_signals` (count entries) must outlive the plan. The
/// caller sets the descriptor bound once every descriptor of the launch is
/// open.
std::unique_ptr<MemberPlan> prepare_member(const PipelineCommand& member, const Request& form,
                                           const int* reset_signals, std::size_t count);

}  // namespace zelta
