#include "launch/pty_launch.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <string_view>
#include <vector>

#include "launch/child_exec.h"
#include "launch/environment.h"
#include "launch/launch_trace.h"
#include "launch/process_spec.h"
#include "launch/program_search.h"
#include "launch/redirections.h"
#include "platform/close_descriptors.h"
#include "platform/directory_handle.h"
#include "platform/pipe.h"
#include "platform/terminal_peer.h"
#include "protocol/system_error.h"

namespace zelta {
namespace {

bool has_nul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// A new pseudo-terminal: master and slave both close-on-exec from the start,
// the slave not made the executor's controlling terminal, and the window size
// set before any child exists.
struct Terminal {
  UniqueFd master;
  UniqueFd slave;
};

Result<Terminal> open_terminal(const winsize& size) {
  Terminal terminal;
  terminal.master.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!terminal.master) return fail("posix_openpt");
  if (::grantpt(terminal.master.get()) != 0 || ::unlockpt(terminal.master.get()) != 0) {
    return fail("unlockpt");
  }
  terminal.slave = open_terminal_peer(terminal.master.get());
  if (!terminal.slave) return fail("open slave");
  if (::ioctl(terminal.master.get(), TIOCSWINSZ, &size) != 0) return fail("window size");
  return terminal;
}

// Descriptor the child installs for one slot; -1 keeps the terminal.
int slot_descriptor(StdioSlot& slot) {
  switch (slot.kind) {
    case StdioKind::kDescriptor:
      return slot.fd.get();
    case StdioKind::kNull:
      if (!slot.fd) slot.fd.reset(::open("/dev/null", O_RDWR | O_CLOEXEC));
      return slot.fd.get();
    case StdioKind::kInherit:
    case StdioKind::kPipe:
      break;
  }
  return -1;
}

std::vector<char*> pointers_to(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

Result<PtyLaunch> launch_pty(const Request& execute_form) {
  if (!execute_form.command) return fail("Missing command");
  const std::string& command = *execute_form.command;
  static const std::vector<std::string> kNoArgs;
  static const std::vector<Redirect> kNoRedirects;
  const std::vector<std::string>& args = execute_form.args ? *execute_form.args : kNoArgs;
  const std::vector<Redirect>& redirects =
      execute_form.redirects ? *execute_form.redirects : kNoRedirects;

  trace_launch(command, args, redirects);

  ProcessSpec spec;
  spec.program = command;
  spec.cwd = execute_form.cwd.value_or("/tmp");
  spec.env = compose_environment(execute_form.env, command, LaunchMode::kTerminal);
  spec.argv.reserve(args.size() + 1);
  spec.argv.push_back(command);
  spec.argv.insert(spec.argv.end(), args.begin(), args.end());

  // Everything below is prepared before the fork: the child only reads it.
  prepare_child_error_texts();
  ChildExec plan;
  std::string setup_failure;
  std::optional<EnvironmentBlock> environment;
  // A name that cannot be set (empty or holding '=') fails as setting it
  // would; a NUL byte anywhere gets the NUL message from the block builder.
  for (const auto& entry : spec.env) {
    if (!is_valid_env_name(entry.first) && !has_nul(entry.first)) {
      setup_failure = command + ": failed to execute: " + system_error_text(EINVAL) + "\n";
    }
  }
  if (setup_failure.empty()) {
    auto built = EnvironmentBlock::build(spec.env);
    if (built) {
      environment.emplace(std::move(built).value());
    } else {
      setup_failure = command + ": failed to execute: " + built.error() + "\n";
    }
  }
  bool nul_in_argv = false;
  for (const std::string& arg : spec.argv) nul_in_argv |= has_nul(arg);
  if (setup_failure.empty() && nul_in_argv) {
    setup_failure = command + ": failed to execute: " + kNulByteError + "\n";
  }

  std::vector<char*> argv = pointers_to(spec.argv);
  std::vector<std::string> shell_args{"/bin/sh", ""};
  shell_args.insert(shell_args.end(), args.begin(), args.end());
  std::vector<char*> shell_argv = pointers_to(shell_args);
  std::vector<std::string> candidates;
  if (environment) candidates = program_candidates(command, environment->get("PATH"));
  std::vector<const char*> candidate_pointers;
  for (const std::string& c : candidates) candidate_pointers.push_back(c.c_str());

  // Redirect files resolve against the run's directory; when it cannot be
  // entered the program runs in the executor's own directory, and so do they.
  UniqueFd cwd_fd;
  if (!has_nul(spec.cwd) && ::faccessat(AT_FDCWD, spec.cwd.c_str(), X_OK, AT_EACCESS) == 0) {
    cwd_fd.reset(::open(spec.cwd.c_str(), kDirectoryHandleFlags));
  }
  RedirectBase base;
  base.dir_fd = cwd_fd ? cwd_fd.get() : AT_FDCWD;
  const char* tmpdir = environment ? environment->get("TMPDIR") : nullptr;
  base.temp_dir = tmpdir != nullptr ? tmpdir : "/tmp";
  // An environment that cannot be set stops the child before its redirects;
  // an argument that cannot be passed fails only at the exec, after them.
  if (environment) apply_redirections(spec, redirects, base);

  const std::string not_found = command + ": command not found\n";
  std::string failure = command + ": failed to execute: ";
  const std::size_t prefix_length = failure.size();
  failure.resize(prefix_length + kFailureTextRoom);

  plan.cwd_fd = cwd_fd.get();
  plan.stdio_fds[0] = slot_descriptor(spec.stdin_slot);
  plan.stdio_fds[1] = slot_descriptor(spec.stdout_slot);
  plan.stdio_fds[2] = slot_descriptor(spec.stderr_slot);
  if (!setup_failure.empty()) {
    plan.setup_failure = setup_failure.data();
    plan.setup_failure_length = setup_failure.size();
    plan.setup_failure_status = 126;
  }
  plan.argv = argv.data();
  plan.envp = environment ? environment->envp() : nullptr;
  plan.candidates = candidate_pointers.data();
  plan.candidate_count = candidate_pointers.size();
  plan.shell_argv = shell_argv.data();
  plan.not_found = not_found.data();
  plan.not_found_length = not_found.size();
  plan.failure = failure.data();
  plan.failure_prefix_length = prefix_length;
  plan.failure_capacity = failure.size();

  winsize size = {};
  size.ws_row = execute_form.rows.value_or(24);
  size.ws_col = execute_form.cols.value_or(80);
  auto terminal = open_terminal(size);
  if (!terminal) return fail("forkpty failed");
  plan.slave_fd = terminal->slave.get();

  // The child holds the write end of this pipe until it has made the
  // terminal its controlling terminal and closed its other descriptors (or
  // executed, or exited). Waiting for end of file here means that when the
  // run announces "started", typed input such as Ctrl-C already reaches the
  // command's process group as a signal instead of being lost.
  int ready[2];
  if (make_pipe(ready) != 0) return fail("forkpty failed");
  UniqueFd ready_read(ready[0]);
  UniqueFd ready_write(ready[1]);

  plan.descriptor_bound = find_descriptor_bound();
  pid_t child = ::fork();
  if (child < 0) return fail("forkpty failed");
  if (child == 0) exec_in_child(plan);
  ready_write.reset();
  char byte;
  while (::read(ready_read.get(), &byte, 1) < 0 && errno == EINTR) {
  }

  PtyLaunch launch;
  launch.child_pid = child;
  launch.master_fd = std::move(terminal->master);
  launch.backend_pid = ::getpid();
  launch.run_id = execute_form.run_id.value_or("run-0");
  launch.command = command;
  return launch;
}

}  // namespace zelta
