#include "launch/spawn.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "launch/program_search.h"
#include "platform/pipe.h"
#include "platform/process_spawn.h"
#include "protocol/system_error.h"

namespace zelta {
namespace {

bool has_nul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// The child's descriptor for one standard stream and the executor's end of a
// pipe made for it.
struct StreamEnds {
  UniqueFd child;
  UniqueFd kept;
};

Result<StreamEnds, int> prepare_stream(StdioSlot& slot, bool child_reads) {
  switch (slot.kind) {
    case StdioKind::kInherit:
      return StreamEnds{};
    case StdioKind::kNull: {
      const int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
      if (fd < 0) return Failure<int>{errno};
      return StreamEnds{UniqueFd(fd), UniqueFd()};
    }
    case StdioKind::kPipe: {
      int fds[2];
      if (const int error = make_pipe(fds); error != 0) return Failure<int>{error};
      UniqueFd read_end(fds[0]);
      UniqueFd write_end(fds[1]);
      if (child_reads) return StreamEnds{std::move(read_end), std::move(write_end)};
      return StreamEnds{std::move(write_end), std::move(read_end)};
    }
    case StdioKind::kDescriptor:
      return StreamEnds{std::move(slot.fd), UniqueFd()};
  }
  return StreamEnds{};
}

// The path to execute for `program`, found as the exec search would find it
// in the child: relative candidates are looked at from the child's working
// directory, but handed over unchanged, since the child resolves them after
// changing into that directory.
Result<std::string, int> find_program(const std::string& program, const EnvironmentBlock& env,
                                      const std::string& cwd) {
  const std::vector<std::string> candidates = program_candidates(program, env.get("PATH"));
  if (cwd.empty() || program.find('/') != std::string::npos) {
    return resolve_program(program, candidates);
  }
  std::vector<std::string> seen_from_cwd = candidates;
  for (std::string& candidate : seen_from_cwd) {
    if (candidate.empty() || candidate.front() != '/') candidate = cwd + "/" + candidate;
  }
  auto found = resolve_program(program, seen_from_cwd);
  if (!found) return Failure<int>{found.error()};
  const auto at = std::find(seen_from_cwd.begin(), seen_from_cwd.end(), found.value());
  return candidates[static_cast<std::size_t>(at - seen_from_cwd.begin())];
}

}  // namespace

Result<SpawnedChild> start_process(ProcessSpec spec) {
  StreamEnds in, out, err;
  {
    // Take the slots' descriptors first, so that every exit closes them.
    auto prepared_in = prepare_stream(spec.stdin_slot, true);
    if (!prepared_in) return fail(system_error_text(prepared_in.error()));
    in = std::move(prepared_in).value();
    auto prepared_out = prepare_stream(spec.stdout_slot, false);
    if (!prepared_out) return fail(system_error_text(prepared_out.error()));
    out = std::move(prepared_out).value();
    auto prepared_err = prepare_stream(spec.stderr_slot, false);
    if (!prepared_err) return fail(system_error_text(prepared_err.error()));
    err = std::move(prepared_err).value();
  }

  if (has_nul(spec.program) || has_nul(spec.cwd) ||
      std::any_of(spec.argv.begin(), spec.argv.end(), has_nul)) {
    return fail(kNulByteError);
  }
  for (const auto& [name, value] : spec.env) {
    if (!has_nul(name) && !has_nul(value) && !is_valid_env_name(name)) {
      return fail(system_error_text(EINVAL));
    }
  }
  auto env = EnvironmentBlock::build(spec.env, spec.inherit_env);
  if (!env) return fail(env.error());
  auto path = find_program(spec.program, *env, spec.cwd);
  if (!path) return fail(system_error_text(path.error()));

  std::vector<char*> argv;
  if (spec.argv.empty()) spec.argv.push_back(spec.program);
  for (std::string& arg : spec.argv) argv.push_back(arg.data());
  argv.push_back(nullptr);

  SpawnPlan plan;
  plan.path = path->c_str();
  plan.argv = argv.data();
  plan.envp = env->envp();
  if (!spec.cwd.empty()) plan.cwd = spec.cwd.c_str();
  plan.new_session = spec.new_session;
  const UniqueFd* sources[3] = {&in.child, &out.child, &err.child};
  for (int i = 0; i < 3; ++i) plan.stdio_fds[i] = sources[i]->get();

  pid_t pid = -1;
  int rc = spawn_process(plan, pid);
  if (rc == ENOEXEC) {
    // An executable file without a recognised format (a script without a
    // "#!" line) runs under the shell, as the exec search does.
    std::vector<char*> shell_argv;
    static char shell[] = "/bin/sh";
    shell_argv.push_back(shell);
    shell_argv.push_back(path->data());
    shell_argv.insert(shell_argv.end(), argv.begin() + 1, argv.end());
    plan.path = shell;
    plan.argv = shell_argv.data();
    rc = spawn_process(plan, pid);
  }
  if (rc != 0) return fail(system_error_text(rc));
  return SpawnedChild{pid, std::move(in.kept), std::move(out.kept), std::move(err.kept)};
}

}  // namespace zelta
