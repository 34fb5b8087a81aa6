// Runs in a forked child of a possibly multi-threaded process: from the fork
// to its exit the leader makes only async-signal-safe calls (no memory
// allocation, no locks, no stdio), and so do the members it forks until
// exec_in_child, which keeps to the same rule.
#include "launch/job_leader.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/bare_fork.h"
#include "platform/features.h"
#include "platform/guarded_stacks.h"

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

#if ZELTA_LINUX_CALLS
int member_entry(void* start) { start_member(*static_cast<const MemberStart*>(start)); }

// The MemberStart of a member created side by side, at the top of its own
// stack; the stack grows down from there.
MemberStart* start_slot(const GuardedStacks& stacks, std::size_t index) {
  constexpr std::size_t kRoom = (sizeof(MemberStart) + 63) & ~std::size_t{63};
  return reinterpret_cast<MemberStart*>(stacks.top(index) - kRoom);
}
#endif

constexpr std::size_t kMemberStackSize = 64 * 1024;

// Creates member `index` by its method; the pid, or -1 with errno set. A
// member created one at a time in shared memory has executed or exited when
// this returns (`shared` is then true); one created side by side may not have
// run yet, as with a fork.
pid_t create_member(const JobLeaderPlan& plan, const GuardedStacks& stacks, std::size_t index,
                    const MemberStart& start, bool& shared) {
  shared = false;
#if ZELTA_LINUX_CALLS
  if (stacks.mapped()) {
    MemberStart* slot = start_slot(stacks, index);
    *slot = start;
    const pid_t pid = ::clone(member_entry, slot, CLONE_VM | SIGCHLD, slot);
    if (pid > 0) return pid;
  } else if (plan.member_stack_top != nullptr && plan.methods != nullptr &&
             plan.methods[index] == LaunchMethod::kVforkClone) {
    const pid_t pid = ::clone(member_entry, plan.member_stack_top, CLONE_VM | CLONE_VFORK | SIGCHLD,
                              const_cast<MemberStart*>(&start));
    if (pid > 0) {
      shared = true;
      return pid;
    }
  }
#else
  (void)plan;
  (void)stacks;
  (void)index;
#endif
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

char* member_stack_top() {
  if constexpr (!kVforkCloneBuilt) return nullptr;
  // One shared-memory member runs at a time (the leader waits for it), so one
  // stack serves them all; a leader's writes land in its own copy.
  static char* const top = []() -> char* {
    const GuardedStacks stack = GuardedStacks::map(1, kMemberStackSize);
    return stack.mapped() ? stack.top(0) : nullptr;
  }();
  return top;
}

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
    if (!last && ::pipe2(ends, O_CLOEXEC) != 0) {
      static constexpr char kNoPipe[] = "pipe failed\n";
      write_text(2, kNoPipe, sizeof kNoPipe - 1);
      ends[0] = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
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
      write_text(2, kNoFork, sizeof kNoFork - 1);
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
