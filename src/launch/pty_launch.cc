#include "launch/pty_launch.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>
#include <vector>

#include "launch/child_exec.h"
#include "launch/child_start.h"
#include "launch/environment.h"
#include "launch/launch_trace.h"
#include "launch/process_spec.h"
#include "launch/program_search.h"
#include "launch/redirections.h"
#include "platform/close_descriptors.h"
#include "platform/directory_handle.h"
#include "platform/terminal_peer.h"
#include "protocol/system_error.h"

namespace zelta {
namespace {

bool has_nul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

}  // namespace

Result<UniqueFd> adopt_front_end_master(int fd) {
  const int flags = fd > 2 ? ::fcntl(fd, F_GETFD) : -1;
  const bool handed_down = flags != -1 && (flags & FD_CLOEXEC) == 0;
  if (!handed_down || ::grantpt(fd) != 0 || ::unlockpt(fd) != 0 ||
      ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) != 0) {
    return fail("Invalid terminal_fd");
  }
  return UniqueFd(fd);
}

Result<Terminal> open_terminal(const winsize& size, UniqueFd given_master) {
  Terminal terminal;
  if (given_master) {
    terminal.master = std::move(given_master);
  } else {
    terminal.master.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!terminal.master) return fail("posix_openpt");
    if (::grantpt(terminal.master.get()) != 0 || ::unlockpt(terminal.master.get()) != 0) {
      return fail("unlockpt");
    }
  }
  terminal.slave = open_terminal_peer(terminal.master.get());
  if (!terminal.slave) return fail("open slave");
  if (::ioctl(terminal.master.get(), TIOCSWINSZ, &size) != 0) return fail("window size");
#ifdef IUTF8
  // Everything on the terminal is UTF-8, so line editing must erase whole
  // characters, as a terminal emulator set up for UTF-8 does.
  termios modes = {};
  if (::tcgetattr(terminal.slave.get(), &modes) == 0 && (modes.c_iflag & IUTF8) == 0) {
    modes.c_iflag |= IUTF8;
    if (::tcsetattr(terminal.slave.get(), TCSANOW, &modes) != 0) return fail("terminal modes");
  }
#endif
  return terminal;
}

Result<PtyLaunch> launch_pty(const Request& execute_form, LaunchMethod method) {
  if (!execute_form.command) return fail("Missing command");
  const std::string& command = *execute_form.command;
  static const std::vector<std::string> kNoArgs;
  static const std::vector<Redirect> kNoRedirects;
  const std::vector<std::string>& args = execute_form.args ? *execute_form.args : kNoArgs;
  const std::vector<Redirect>& redirects =
      execute_form.redirects ? *execute_form.redirects : kNoRedirects;

  trace_launch(command, args, redirects);
  UniqueFd given_master;
  if (execute_form.terminal_fd) {
    auto adopted = adopt_front_end_master(*execute_form.terminal_fd);
    if (!adopted) return fail(std::move(adopted).error());
    given_master = std::move(adopted).value();
  }

  ProcessSpec spec;
  spec.program = command;
  spec.cwd = execute_form.cwd.value_or("/tmp");
  spec.env = compose_environment(execute_form.env, command, LaunchMode::kTerminal);
  spec.argv.reserve(args.size() + 1);
  spec.argv.push_back(command);
  spec.argv.insert(spec.argv.end(), args.begin(), args.end());

  // Everything below is prepared before the child exists: it only reads it.
  prepare_child_error_texts();
  ChildExec plan;
  std::string setup_failure;
  int setup_failure_status = 126;
  std::optional<EnvironmentBlock> environment;
  // A name that cannot be set (empty or holding '=') fails as setting it
  // would; a NUL byte anywhere gets the NUL message from the block builder.
  for (const auto& entry : spec.env) {
    if (!is_valid_env_name(entry.first) && !has_nul(entry.first)) {
      setup_failure = command + ": failed to execute: " + system_error_text(EINVAL) + "\n";
    }
  }
  if (setup_failure.empty()) {
    auto built = EnvironmentBlock::build(spec.env, inherits_environment(execute_form));
    if (built) {
      environment.emplace(std::move(built).value());
    } else {
      setup_failure = command + ": failed to execute: " + built.error() + "\n";
    }
  }
  // An argument that cannot be passed fails only at the exec, after the
  // redirections, as the exec itself would.
  std::string exec_failure;
  for (const std::string& arg : spec.argv) {
    if (has_nul(arg)) exec_failure = command + ": failed to execute: " + kNulByteError + "\n";
  }

  std::vector<char*> argv = pointers_to(spec.argv);
  std::vector<std::string> shell_args{"/bin/sh", ""};
  shell_args.insert(shell_args.end(), args.begin(), args.end());
  std::vector<char*> shell_argv = pointers_to(shell_args);
  std::vector<std::string> candidates;
  if (environment) candidates = program_candidates(command, environment->get("PATH"));
  std::vector<const char*> candidate_pointers;
  for (const std::string& c : candidates) candidate_pointers.push_back(c.c_str());

  // The child enters the directory itself and refuses to run when it cannot;
  // a name that cannot even be passed is refused the same way, up front.
  if (has_nul(spec.cwd)) {
    setup_failure = spec.cwd + ": " + kNulByteError + "\n";
    setup_failure_status = 1;
  } else {
    plan.cwd = spec.cwd.c_str();
  }
  // Here-document files are stored now, in the temporary directory of the
  // child's environment taken relative to the run's directory. When that
  // directory cannot be opened the child stops at it before any redirection.
  std::vector<RedirectStep> steps;
  // Opened only when there is something to plan: the common launch does not
  // touch the directory in the executor at all.
  UniqueFd cwd_fd;
  if (plan.cwd != nullptr && !redirects.empty()) {
    cwd_fd.reset(::open(plan.cwd, kDirectoryHandleFlags));
    const int open_error = errno;
    // Without a handle the redirections cannot be planned (a directory the
    // child could still enter, with descriptors exhausted, say): the run is
    // refused rather than run with its redirections dropped.
    if (!cwd_fd && setup_failure.empty()) {
      setup_failure = spec.cwd + ": " + system_error_text(open_error) + "\n";
      setup_failure_status = 1;
    }
  }
  if (environment && cwd_fd) {
    RedirectBase base;
    base.dir_fd = cwd_fd.get();
    const char* tmpdir = environment->get("TMPDIR");
    base.temp_dir = tmpdir != nullptr ? tmpdir : "/tmp";
    steps = plan_redirections(redirects, base);
  }

  // The names the child may put in a failure line it builds: the command,
  // the directory, and the files it opens (a here-document's text is no
  // name, and its failure line is prepared here).
  std::size_t longest_name = command.size() + spec.cwd.size();
  for (const Redirect& r : redirects) {
    if (redirect_open_flags(r.kind)) longest_name = std::max(longest_name, r.file.size());
  }
  std::string scratch(longest_name + kFailureTextRoom, '\0');

  int reset_signals[NSIG];
  plan.reset_signals = reset_signals;
  plan.reset_signal_count = signals_not_at_default(reset_signals);
  if (!setup_failure.empty()) {
    plan.setup_failure = setup_failure.data();
    plan.setup_failure_length = setup_failure.size();
    plan.setup_failure_status = setup_failure_status;
  }
  if (!exec_failure.empty()) {
    plan.exec_failure = exec_failure.data();
    plan.exec_failure_length = exec_failure.size();
  }
  plan.redirects = steps.data();
  plan.redirect_count = steps.size();
  plan.argv = argv.data();
  plan.envp = environment ? environment->envp() : nullptr;
  plan.candidates = candidate_pointers.data();
  plan.candidate_count = candidate_pointers.size();
  plan.shell_argv = shell_argv.data();
  plan.command = command.data();
  plan.command_length = command.size();
  plan.scratch = scratch.data();
  plan.scratch_capacity = scratch.size();

  winsize size = {};
  size.ws_row = execute_form.rows.value_or(24);
  size.ws_col = execute_form.cols.value_or(80);
  const bool front_end_reads = static_cast<bool>(given_master);
  auto terminal = open_terminal(size, std::move(given_master));
  if (!terminal) return fail("forkpty failed");
  plan.slave_fd = terminal->slave.get();

  plan.descriptor_bound = find_descriptor_bound();

  cwd_fd.reset();
  // The here-documents' descriptors, the only ones the child keeps while it
  // applies its steps.
  std::vector<int> kept_fds;
  for (const RedirectStep& step : steps) {
    if (step.fd) kept_fds.push_back(step.fd.get());
  }
  std::sort(kept_fds.begin(), kept_fds.end());
  plan.kept_fds = kept_fds.data();
  plan.kept_fd_count = kept_fds.size();
  auto child = start_child(plan, method);
  if (!child) return fail("forkpty failed");

  PtyLaunch launch;
  launch.child_pid = child->pid;
  launch.pidfd = std::move(child->pidfd);
  launch.method = child->method;
  launch.master_fd = std::move(terminal->master);
  launch.backend_pid = ::getpid();
  launch.run_id = execute_form.run_id.value_or("run-0");
  launch.command = command;
  launch.front_end_reads = front_end_reads;
  return launch;
}

}  // namespace zelta
