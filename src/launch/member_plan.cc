#include "launch/member_plan.h"

#include <errno.h>
#include <fcntl.h>

#include <algorithm>
#include <string_view>

#include "launch/program_search.h"
#include "platform/directory_handle.h"
#include "protocol/system_error.h"

namespace zelta {
namespace {

bool has_nul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// The standard stream a duplication copies ("1" in 2>&1), or -1 when it
// names anything else, which has no effect.
int duplicated_stream(const Redirect& redirect) {
  if (redirect.kind != RedirectKind::kInputDup && redirect.kind != RedirectKind::kOutputDup) {
    return -1;
  }
  if (redirect.file == "0") return 0;
  if (redirect.file == "1") return 1;
  if (redirect.file == "2") return 2;
  return -1;
}

// The steps of `redirects` in their order: the file and here-document kinds
// as for a single command, and duplications between standard streams, which
// matter here (a member's standard output is a pipe, its standard error the
// terminal).
std::vector<RedirectStep> member_steps(const std::vector<Redirect>& redirects,
                                       const RedirectBase& base) {
  std::vector<RedirectStep> planned = plan_redirections(redirects, base);
  std::vector<RedirectStep> steps;
  steps.reserve(redirects.size());
  std::size_t next = 0;
  for (const Redirect& redirect : redirects) {
    const int from = duplicated_stream(redirect);
    if (from >= 0) {
      RedirectStep step;
      const bool input = redirect.kind == RedirectKind::kInputDup;
      step.target = redirect.fd.value_or(input ? 0 : 1);
      step.dup_from = from;
      if (step.target >= 0 && step.target <= 2) steps.push_back(std::move(step));
    } else if (redirect_target(redirect) && next < planned.size()) {
      steps.push_back(std::move(planned[next++]));
    }
  }
  return steps;
}

}  // namespace

std::unique_ptr<MemberPlan> prepare_member(const PipelineCommand& member, const Request& form,
                                           const int* reset_signals, std::size_t count) {
  auto plan = std::make_unique<MemberPlan>();
  ChildExec& exec = plan->exec;
  plan->command = member.command;
  plan->cwd = form.cwd.value_or("/tmp");
  const EnvOverrides env = compose_environment(form.env, member.command, LaunchMode::kTerminal);
  plan->argv_strings.reserve(member.args.size() + 1);
  plan->argv_strings.push_back(member.command);
  plan->argv_strings.insert(plan->argv_strings.end(), member.args.begin(), member.args.end());

  int setup_status = 126;
  for (const auto& entry : env) {
    if (!is_valid_env_name(entry.first) && !has_nul(entry.first)) {
      plan->setup_failure =
          member.command + ": failed to execute: " + system_error_text(EINVAL) + "\n";
    }
  }
  if (plan->setup_failure.empty()) {
    auto built = EnvironmentBlock::build(env, inherits_environment(form));
    if (built) {
      plan->environment.emplace(std::move(built).value());
    } else {
      plan->setup_failure = member.command + ": failed to execute: " + built.error() + "\n";
    }
  }
  for (const std::string& arg : plan->argv_strings) {
    if (has_nul(arg))
      plan->exec_failure = member.command + ": failed to execute: " + kNulByteError + "\n";
  }
  plan->argv = pointers_to(plan->argv_strings);
  plan->shell_strings = {"/bin/sh", ""};
  plan->shell_strings.insert(plan->shell_strings.end(), member.args.begin(), member.args.end());
  plan->shell_argv = pointers_to(plan->shell_strings);
  if (plan->environment) {
    plan->candidates = program_candidates(member.command, plan->environment->get("PATH"));
  }
  for (const std::string& c : plan->candidates) plan->candidate_pointers.push_back(c.c_str());

  if (has_nul(plan->cwd)) {
    plan->setup_failure = plan->cwd + ": " + kNulByteError + "\n";
    setup_status = 1;
  } else {
    exec.cwd = plan->cwd.c_str();
  }
  // Opened only when there is something to plan, as for a single command.
  UniqueFd cwd_fd;
  if (exec.cwd != nullptr && !member.redirects.empty()) {
    cwd_fd.reset(::open(exec.cwd, kDirectoryHandleFlags));
    const int open_error = errno;
    if (!cwd_fd && plan->setup_failure.empty()) {
      plan->setup_failure = plan->cwd + ": " + system_error_text(open_error) + "\n";
      setup_status = 1;
    }
  }
  if (plan->environment && cwd_fd) {
    RedirectBase base;
    base.dir_fd = cwd_fd.get();
    const char* tmpdir = plan->environment->get("TMPDIR");
    base.temp_dir = tmpdir != nullptr ? tmpdir : "/tmp";
    plan->steps = member_steps(member.redirects, base);
    for (const RedirectStep& step : plan->steps) {
      if (step.fd) plan->kept_fds.push_back(step.fd.get());
    }
    std::sort(plan->kept_fds.begin(), plan->kept_fds.end());
  }

  std::size_t longest_name = member.command.size() + plan->cwd.size();
  for (const Redirect& r : member.redirects) longest_name = std::max(longest_name, r.file.size());
  plan->scratch.assign(longest_name + kFailureTextRoom, '\0');

  exec.reset_signals = reset_signals;
  exec.reset_signal_count = count;
  if (!plan->setup_failure.empty()) {
    exec.setup_failure = plan->setup_failure.data();
    exec.setup_failure_length = plan->setup_failure.size();
    exec.setup_failure_status = setup_status;
  }
  if (!plan->exec_failure.empty()) {
    exec.exec_failure = plan->exec_failure.data();
    exec.exec_failure_length = plan->exec_failure.size();
  }
  exec.kept_fds = plan->kept_fds.data();
  exec.kept_fd_count = plan->kept_fds.size();
  exec.redirects = plan->steps.data();
  exec.redirect_count = plan->steps.size();
  exec.argv = plan->argv.data();
  exec.envp = plan->environment ? plan->environment->envp() : nullptr;
  exec.candidates = plan->candidate_pointers.data();
  exec.candidate_count = plan->candidate_pointers.size();
  exec.shell_argv = plan->shell_argv.data();
  exec.command = plan->command.data();
  exec.command_length = plan->command.size();
  exec.scratch = plan->scratch.data();
  exec.scratch_capacity = plan->scratch.size();
  return plan;
}

}  // namespace zelta
