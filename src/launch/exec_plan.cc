#include "launch/exec_plan.h"

#include <errno.h>
#include <fcntl.h>

#include <algorithm>
#include <array>
#include <string_view>

#include "launch/program_search.h"
#include "platform/directory_handle.h"
#include "platform/unique_fd.h"
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
// as plan_redirections gives them, and duplications between standard streams,
// which matter to a job's member (its standard output is a pipe, its standard
// error the terminal).
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

// The child's environment, or the failure line it writes instead: a name
// that cannot be set (empty or holding '=') fails as setting it would; a NUL
// byte anywhere gets the NUL message from the block builder.
void build_environment(ExecPlan& plan, const LaunchForm& form) {
  const EnvOverrides env = compose_environment(form.env, plan.command, LaunchMode::kTerminal);
  const std::string failed = plan.command + ": failed to execute: ";
  for (const auto& entry : env) {
    if (!is_valid_env_name(entry.first) && !has_nul(entry.first)) {
      plan.setup_failure = failed + system_error_text(EINVAL) + "\n";
    }
  }
  if (!plan.setup_failure.empty()) return;
  auto built = EnvironmentBlock::build(env, form.inherit_environment);
  if (built) {
    plan.environment.emplace(std::move(built).value());
  } else {
    plan.setup_failure = failed + built.error() + "\n";
  }
}

// The steps of `redirects`, planned against the run's directory. The child
// enters the directory itself and refuses to run when it cannot; here it is
// opened only when there is something to plan, so the common launch does not
// touch it in the executor at all. Without a handle the redirections cannot
// be planned (a directory the child could still enter, with descriptors
// exhausted, say): the run is refused rather than run with them dropped.
void plan_steps(ExecPlan& plan, const std::vector<Redirect>& redirects, bool member,
                int& setup_status) {
  if (plan.exec.cwd == nullptr || redirects.empty()) return;
  const UniqueFd cwd_fd(::open(plan.exec.cwd, kDirectoryHandleFlags));
  const int open_error = errno;
  if (!cwd_fd && plan.setup_failure.empty()) {
    plan.setup_failure = std::string(plan.exec.cwd) + ": " + system_error_text(open_error) + "\n";
    setup_status = 1;
  }
  if (!plan.environment || !cwd_fd) return;
  RedirectBase base;
  base.dir_fd = cwd_fd.get();
  const char* tmpdir = plan.environment->get("TMPDIR");
  base.temp_dir = tmpdir != nullptr ? tmpdir : "/tmp";
  plan.steps = member ? member_steps(redirects, base) : plan_redirections(redirects, base);
  for (const RedirectStep& step : plan.steps) {
    if (step.fd) plan.kept_fds.push_back(step.fd.get());
  }
  std::sort(plan.kept_fds.begin(), plan.kept_fds.end());
}

// Points the child's plan at what the ExecPlan holds.
void point_exec(ExecPlan& plan, int setup_status) {
  ChildExec& exec = plan.exec;
  if (!plan.setup_failure.empty()) {
    exec.setup_failure = plan.setup_failure.data();
    exec.setup_failure_length = plan.setup_failure.size();
    exec.setup_failure_status = setup_status;
  }
  if (!plan.exec_failure.empty()) {
    exec.exec_failure = plan.exec_failure.data();
    exec.exec_failure_length = plan.exec_failure.size();
  }
  exec.kept_fds = plan.kept_fds.data();
  exec.kept_fd_count = plan.kept_fds.size();
  exec.redirects = plan.steps.data();
  exec.redirect_count = plan.steps.size();
  exec.argv = plan.argv.data();
  exec.envp = plan.environment ? plan.environment->envp() : nullptr;
  exec.candidates = plan.candidate_pointers.data();
  exec.candidate_count = plan.candidate_pointers.size();
  exec.shell_argv = plan.shell_argv.data();
  exec.command = plan.command.data();
  exec.command_length = plan.command.size();
  exec.scratch = plan.scratch.data();
  exec.scratch_capacity = plan.scratch.size();
}

}  // namespace

std::unique_ptr<ExecPlan> build_exec_plan(const LaunchCommand& command, const LaunchForm& form,
                                          const int* reset_signals, std::size_t count) {
  auto plan = std::make_unique<ExecPlan>();
  plan->command = command.name;
  plan->exec.reset_signals = reset_signals;
  plan->exec.reset_signal_count = count;
  int setup_status = 126;
  build_environment(*plan, form);

  plan->argv_strings.reserve(command.args.size() + 1);
  plan->argv_strings.push_back(command.name);
  plan->argv_strings.insert(plan->argv_strings.end(), command.args.begin(), command.args.end());
  // An argument that cannot be passed fails only at the exec, after the
  // redirections, as the exec itself would.
  if (std::any_of(plan->argv_strings.begin(), plan->argv_strings.end(), has_nul)) {
    plan->exec_failure = command.name + ": failed to execute: " + kNulByteError + "\n";
  }
  plan->argv = pointers_to(plan->argv_strings);
  plan->shell_strings = {"/bin/sh", ""};
  plan->shell_strings.insert(plan->shell_strings.end(), command.args.begin(), command.args.end());
  plan->shell_argv = pointers_to(plan->shell_strings);
  if (plan->environment) {
    plan->candidates = program_candidates(command.name, plan->environment->get("PATH"));
  }
  for (const std::string& c : plan->candidates) plan->candidate_pointers.push_back(c.c_str());

  // A directory name that cannot even be passed is refused up front, as the
  // child refuses one it cannot enter.
  if (has_nul(form.cwd)) {
    plan->setup_failure = form.cwd + ": " + kNulByteError + "\n";
    setup_status = 1;
  } else {
    plan->exec.cwd = form.cwd.c_str();
  }
  plan_steps(*plan, command.redirects, form.kind == LaunchKind::kJob, setup_status);

  // The names the child may put in a failure line it builds: the command,
  // the directory, and the files it opens (a here-document's text is no
  // name, and its failure line is prepared here).
  std::size_t longest_name = command.name.size() + form.cwd.size();
  for (const Redirect& r : command.redirects) {
    if (redirect_open_flags(r.kind)) longest_name = std::max(longest_name, r.file.size());
  }
  plan->scratch.assign(longest_name + kFailureTextRoom, '\0');
  point_exec(*plan, setup_status);
  return plan;
}

void prepare_child_error_texts() {
  // Built once, and never changed: children read it without locks.
  static const std::array<std::string, kChildErrorTexts> texts = [] {
    std::array<std::string, kChildErrorTexts> built;
    for (int e = 0; e < kChildErrorTexts; ++e) built[e] = system_error_text(e);
    return built;
  }();
  g_child_error_texts = texts.data();
}

std::vector<char*> pointers_to(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace zelta
