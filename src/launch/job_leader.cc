// Runs in a forked child of a possibly multi-threaded process: from the fork
// to its exit the leader makes only async-signal-safe calls (no memory
// allocation, no locks, no stdio), and so do the members it forks until
// exec_in_child, which keeps to the same rule.
#include "launch/job_leader.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zelta {
namespace {

void write_text(int fd, const char* text, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, text, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    size -= static_cast<std::size_t>(n);
  }
}

void close_quietly(int fd) {
  if (fd >= 0) ::close(fd);
}

// The member's child: its group, the terminal's foreground (the first one,
// before it can read the terminal), its pipe ends; then the exec.
[[noreturn]] void start_member(const ChildExec& exec, pid_t group, int input, int output) {
  ::setpgid(0, group);
  // SIGTTOU is still blocked here, so a member outside the foreground group
  // may take the terminal.
  if (group == 0) ::tcsetpgrp(2, ::getpid());
  if (input >= 0) ::dup2(input, 0);
  if (output >= 0) ::dup2(output, 1);
  exec_in_child(exec);
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

void run_job_leader(const JobLeaderPlan& plan) {
  ::setsid();
  ::ioctl(plan.slave_fd, TIOCSCTTY, 0);
  for (int stream = 0; stream < 3; ++stream) ::dup2(plan.slave_fd, stream);
  if (plan.slave_fd > 2) ::close(plan.slave_fd);
  close_quietly(plan.master_fd);

  pid_t group = 0;
  int previous_read = -1;
  for (std::size_t i = 0; i < plan.member_count; ++i) {
    plan.pids[i] = -1;
    int ends[2] = {-1, -1};
    const bool last = i + 1 == plan.member_count;
    if (!last && ::pipe2(ends, O_CLOEXEC) != 0) {
      static constexpr char kNoPipe[] = "pipe failed\n";
      write_text(2, kNoPipe, sizeof kNoPipe - 1);
      ends[0] = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    const pid_t pid = ::fork();
    if (pid == 0) start_member(*plan.members[i], group, previous_read, ends[1]);
    if (pid < 0) {
      static constexpr char kNoFork[] = "fork failed\n";
      write_text(2, kNoFork, sizeof kNoFork - 1);
    } else {
      // Also here, so the group exists before the next member joins it
      // whichever process runs first.
      ::setpgid(pid, group == 0 ? pid : group);
      if (group == 0) {
        group = pid;
        ::tcsetpgrp(0, group);
      }
      plan.pids[i] = pid;
    }
    close_quietly(previous_read);
    close_quietly(ends[1]);
    previous_read = ends[0];
  }
  close_quietly(previous_read);
  // Reported once every member exists, so a signal sent to the group after
  // "started" reaches them all.
  if (group != 0) write_text(plan.report_fd, reinterpret_cast<const char*>(&group), sizeof group);
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
