// Everything here runs in a child of a possibly multi-threaded process, between
// its creation and its exec or exit: a command's child, a job's leader and
// the members the leader creates. The rules of this file:
//
// - Only async-signal-safe calls: no memory allocation, no locks, no stdio,
//   no errno-to-text lookups (the texts are prepared by the parent), no
//   exceptions. Everything the child reads (argv, envp, program candidates,
//   failure lines, redirection steps) is prepared before the fork.
// - A child created by clone shares the parent's memory (and the launching
//   thread's errno and C library state) until its exec: it writes nothing the
//   parent relies on but errno, which the parent restores, and its own
//   scratch areas and stack. The executable is linked with immediate
//   binding, so no call here runs the dynamic linker.
// - The two calls whose failure decides what the child does next (the
//   directory change and the exec) report their error without errno where
//   the platform allows, so children sharing memory with each other can run
//   side by side.
// - Nothing in a memory-sharing child may wait on the outside world; what may
//   (opening a redirection's path) is left to forked children
//   (choose_launch_method).
#include "launch/child_side.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/bare_fork.h"
#include "platform/guarded_stacks.h"
#include "platform/pipe.h"
#include "platform/raw_syscall.h"
#include "platform/vfork_clone.h"

namespace zelta {
namespace {

void write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

std::size_t length_of(const char* text) {
  std::size_t n = 0;
  while (text[n] != '\0') ++n;
  return n;
}

std::size_t append(char* out, std::size_t at, std::size_t capacity, const char* text,
                   std::size_t length) {
  for (std::size_t i = 0; i < length && at < capacity; ++i) out[at++] = text[i];
  return at;
}

std::size_t append_decimal(char* out, std::size_t at, std::size_t capacity, int value) {
  char digits[12];
  int n = 0;
  unsigned v = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  if (value < 0 && at < capacity) out[at++] = '-';
  while (n > 0 && at < capacity) out[at++] = digits[--n];
  return at;
}

// Writes "<name><separator><error text>\n" to standard error as one write and
// exits with `status`.
[[noreturn]] void fail_with(const ChildExec& plan, const char* name, std::size_t name_length,
                            const char* separator, int error, int status) {
  const std::size_t cap = plan.scratch_capacity - 1;
  std::size_t at = append(plan.scratch, 0, cap, name, name_length);
  at = append(plan.scratch, at, cap, separator, length_of(separator));
  if (g_child_error_texts != nullptr && error >= 0 && error < kChildErrorTexts) {
    const std::string& text = g_child_error_texts[error];
    at = append(plan.scratch, at, cap, text.data(), text.size());
  } else {
    static constexpr char kUnknown[] = "Unknown error ";
    static constexpr char kOs[] = " (os error ";
    at = append(plan.scratch, at, cap, kUnknown, sizeof kUnknown - 1);
    at = append_decimal(plan.scratch, at, cap, error);
    at = append(plan.scratch, at, cap, kOs, sizeof kOs - 1);
    at = append_decimal(plan.scratch, at, cap, error);
    at = append(plan.scratch, at, cap, ")", 1);
  }
  plan.scratch[at++] = '\n';
  write_all(2, plan.scratch, at);
  ::_exit(status);
}

[[noreturn]] void fail_exec(const ChildExec& plan, int error) {
  if (error == ENOENT) {
    const std::size_t cap = plan.scratch_capacity;
    static constexpr char kNotFound[] = ": command not found\n";
    std::size_t at = append(plan.scratch, 0, cap, plan.command, plan.command_length);
    at = append(plan.scratch, at, cap, kNotFound, sizeof kNotFound - 1);
    write_all(2, plan.scratch, at);
    ::_exit(127);
  }
  fail_with(plan, plan.command, plan.command_length, ": failed to execute: ", error, 126);
}

// Opens or installs one redirection on its standard descriptor. A name is
// opened here, in the child's own context and directory, so /dev/stdout,
// /dev/tty or a FIFO mean what they mean to the command; the open may block
// until a FIFO's peer arrives, which keeps only the command waiting.
void apply_step(const ChildExec& plan, const RedirectStep& step) {
  if (!step.failure.empty()) {
    write_all(2, step.failure.data(), step.failure.size());
    ::_exit(1);
  }
  if (step.dup_from >= 0) {
    ::dup2(step.dup_from, step.target);
    return;
  }
  if (step.path == nullptr) {
    // Closed once installed, so a later step that waits holds only 0-2.
    ::dup2(step.fd.get(), step.target);
    ::close(step.fd.get());
    return;
  }
  int fd;
  do {
    fd = ::open(step.path, step.flags | O_CLOEXEC | O_NOCTTY, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) fail_with(plan, step.path, length_of(step.path), ": ", errno, 1);
  // Descriptors 0-2 are open, so the new one is 3 or higher.
  ::dup2(fd, step.target);
  ::close(fd);
}

void close_quietly(int fd) {
  if (fd >= 0) ::close(fd);
}

// What one member's child starts from.
struct MemberStart {
  const ChildExec* exec = nullptr;
  pid_t group = 0;  // 0: the member leads a new group
  int input = -1;
  int output = -1;
};

// The member's child: its group, the terminal's foreground (the first one,
// before it can read the terminal), its pipe ends; then the exec.
[[noreturn]] void start_member(const MemberStart& start) {
  ::setpgid(0, start.group);
  // SIGTTOU is still blocked here, so a member outside the foreground group
  // may take the terminal.
  if (start.group == 0) ::tcsetpgrp(2, ::getpid());
  if (start.input >= 0) ::dup2(start.input, 0);
  if (start.output >= 0) ::dup2(start.output, 1);
  exec_in_child(*start.exec);
}

int member_entry(void* start) { start_member(*static_cast<const MemberStart*>(start)); }

// The MemberStart of a member created side by side, at the top of its own
// stack; the stack grows down from there.
MemberStart* start_slot(const GuardedStacks& stacks, std::size_t index) {
  constexpr std::size_t kRoom = (sizeof(MemberStart) + 63) & ~std::size_t{63};
  return reinterpret_cast<MemberStart*>(stacks.top(index) - kRoom);
}

// Creates member `index` by its method; the pid, or -1 with errno set. A
// member created one at a time in shared memory has executed or exited when
// this returns (`shared` is then true); one created side by side may not have
// run yet, as with a fork. A refused clone (or one not built) forks instead.
pid_t create_member(const JobLeaderPlan& plan, const GuardedStacks& stacks, std::size_t index,
                    const MemberStart& start, bool& shared) {
  shared = false;
  if (stacks.mapped()) {
    MemberStart* slot = start_slot(stacks, index);
    *slot = start;
    const pid_t pid = shared_clone(member_entry, reinterpret_cast<char*>(slot), slot);
    if (pid > 0) return pid;
  } else if (plan.member_stack_top != nullptr && plan.methods != nullptr &&
             plan.methods[index] == LaunchMethod::kVforkClone) {
    const pid_t pid =
        vfork_clone(member_entry, plan.member_stack_top, const_cast<MemberStart*>(&start), nullptr);
    if (pid > 0) {
      shared = true;
      return pid;
    }
  }
  const pid_t pid = bare_fork();
  if (pid == 0) start_member(start);
  return pid;
}

// Ends the leader by the signal that ended the last member, so the run
// reports that signal as a single command's would. No core is written: one
// of the leader would be of no use.
void end_like_member(int signal_number) {
  const struct rlimit no_core = {0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);
  struct sigaction defaults = {};
  defaults.sa_handler = SIG_DFL;
  ::sigemptyset(&defaults.sa_mask);
  ::sigaction(signal_number, &defaults, nullptr);
  sigset_t only;
  ::sigemptyset(&only);
  ::sigaddset(&only, signal_number);
  ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
  ::kill(::getpid(), signal_number);
}

}  // namespace

void exec_in_child(const ChildExec& plan) {
  // Signals first: the parent blocked them all around the child's creation,
  // so no handler of the executor runs here; set those dispositions back to
  // the default before the mask opens, and before the terminal is ours, so a
  // typed Ctrl-C finds the default even if the executor ignores it.
  struct sigaction defaults = {};
  defaults.sa_handler = SIG_DFL;
  ::sigemptyset(&defaults.sa_mask);
  for (std::size_t i = 0; i < plan.reset_signal_count; ++i) {
    ::sigaction(plan.reset_signals[i], &defaults, nullptr);
  }
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);

  // Without a session of its own and the terminal as its controlling
  // terminal, typed Ctrl-C would reach nothing: a sandbox that refuses either
  // fails the launch rather than run the command half attached. Without a
  // terminal of its own (a member of a job on a terminal) the child keeps the
  // session, group and streams it was given.
  const char* refused = nullptr;
  int refusal = 0;
  if (plan.slave_fd >= 0) {
    if (::setsid() < 0) {
      refused = ": cannot start a session: ";
      refusal = errno;
    } else if (::ioctl(plan.slave_fd, TIOCSCTTY, 0) < 0) {
      refused = ": cannot take the terminal: ";
      refusal = errno;
    }
    for (int stream = 0; stream < 3; ++stream) ::dup2(plan.slave_fd, stream);
  }
  // Everything above 2 goes before the first step that may wait: a child
  // stuck in an open must not hold the terminal's master (the terminal would
  // never hang up when the executor dies) or any other of the executor's
  // descriptors. That closes the readiness pipe too, so the parent announces
  // the run now: typed input already reaches this session.
  close_descriptors_above_stderr(plan.descriptor_bound, plan.kept_fds, plan.kept_fd_count);
  if (refused != nullptr) {
    fail_with(plan, plan.command, plan.command_length, refused, refusal, 126);
  }
  if (plan.cwd != nullptr) {
    if (const int error = chdir_error(plan.cwd); error != 0) {
      fail_with(plan, plan.cwd, length_of(plan.cwd), ": ", error, 1);
    }
  }

  if (plan.setup_failure != nullptr) {
    write_all(2, plan.setup_failure, plan.setup_failure_length);
    ::_exit(plan.setup_failure_status);
  }
  for (std::size_t i = 0; i < plan.redirect_count; ++i) apply_step(plan, plan.redirects[i]);
  // Anything a step left above 2 goes now.
  close_descriptors_above_stderr(plan.descriptor_bound);
  if (plan.exec_failure != nullptr) {
    write_all(2, plan.exec_failure, plan.exec_failure_length);
    ::_exit(126);
  }

  // The exec search: a permission failure on any candidate wins over
  // not-found; a missing file or directory moves on; anything else stops.
  bool denied = false;
  int error = ENOENT;
  for (std::size_t i = 0; i < plan.candidate_count; ++i) {
    const char* path = plan.candidates[i];
    if (const int missing = lookup_error(path); missing == ENOENT || missing == ENOTDIR) {
      error = missing;
      continue;
    }
    error = execve_error(path, plan.argv, plan.envp);
    if (error == ENOEXEC) {
      plan.shell_argv[1] = const_cast<char*>(path);
      error = execve_error("/bin/sh", plan.shell_argv, plan.envp);
    }
    if (error == EACCES) {
      denied = true;
      continue;
    }
    if (error == ENOENT || error == ENOTDIR || error == ESTALE || error == ENODEV ||
        error == ETIMEDOUT) {
      continue;
    }
    fail_exec(plan, error);
  }
  fail_exec(plan, denied ? EACCES : error);
}

int exec_in_clone(void* plan) { exec_in_child(*static_cast<const ChildExec*>(plan)); }

void run_job_leader(const JobLeaderPlan& plan) {
  ::setsid();
  ::ioctl(plan.slave_fd, TIOCSCTTY, 0);
  for (int stream = 0; stream < 3; ++stream) ::dup2(plan.slave_fd, stream);
  if (plan.slave_fd > 2) ::close(plan.slave_fd);
  close_quietly(plan.master_fd);

  // A stack each for members created side by side, mapped in the leader's own
  // memory; unmapped, they go one at a time.
  GuardedStacks stacks;
  if (plan.side_by_side) stacks = GuardedStacks::map(plan.member_count, kMemberStackSize);
  pid_t group = 0;
  int previous_read = -1;
  for (std::size_t i = 0; i < plan.member_count; ++i) {
    plan.pids[i] = -1;
    int ends[2] = {-1, -1};
    const bool last = i + 1 == plan.member_count;
    if (!last && make_pipe(ends) != 0) {
      static constexpr char kNoPipe[] = "pipe failed\n";
      write_all(2, kNoPipe, sizeof kNoPipe - 1);
      ends[0] = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      ends[1] = -1;
    }
    MemberStart start;
    start.exec = plan.members[i];
    start.group = group;
    start.input = previous_read;
    start.output = ends[1];
    bool shared = false;
    const pid_t pid = create_member(plan, stacks, i, start, shared);
    if (pid < 0) {
      static constexpr char kNoFork[] = "fork failed\n";
      write_all(2, kNoFork, sizeof kNoFork - 1);
    } else {
      // A forked member may not have run yet: its group and the terminal's
      // foreground are set from here too, so the group exists before the
      // next member joins it. A shared one has done both before its exec.
      if (!shared) {
        ::setpgid(pid, group == 0 ? pid : group);
        if (group == 0) ::tcsetpgrp(0, pid);
      }
      if (group == 0) group = pid;
      plan.pids[i] = pid;
    }
    close_quietly(previous_read);
    close_quietly(ends[1]);
    previous_read = ends[0];
  }
  close_quietly(previous_read);
  // Reported once every member exists, so a signal sent to the group after
  // "started" reaches them all.
  if (group != 0) write_all(plan.report_fd, reinterpret_cast<const char*>(&group), sizeof group);
  ::close(plan.report_fd);

  // A member ended by a stop (Ctrl-Z) is left stopped: the run has no job
  // control, and "run.signal" can still end it.
  int last_status = 126 << 8;
  for (std::size_t i = 0; i < plan.member_count; ++i) {
    if (plan.pids[i] < 0) continue;
    int status = 0;
    while (::waitpid(plan.pids[i], &status, 0) < 0) {
      if (errno != EINTR) {
        status = 1 << 8;
        break;
      }
    }
    if (i + 1 == plan.member_count) last_status = status;
  }
  if (WIFSIGNALED(last_status)) end_like_member(WTERMSIG(last_status));
  ::_exit(WIFEXITED(last_status) ? WEXITSTATUS(last_status) : 128 + WTERMSIG(last_status));
}

}  // namespace zelta
