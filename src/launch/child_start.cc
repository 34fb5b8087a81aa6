#include "launch/child_start.h"

#include <errno.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "platform/all_signals_blocked.h"
#include "platform/guarded_stacks.h"
#include "platform/pipe.h"

namespace zelta {
namespace {

// The longest line the child may write before its exec: a prepared failure
// line, or one it builds in its scratch buffer.
std::size_t longest_child_line(const ChildExec& plan) {
  std::size_t longest =
      std::max({plan.scratch_capacity, plan.setup_failure_length, plan.exec_failure_length});
  for (std::size_t i = 0; i < plan.redirect_count; ++i) {
    longest = std::max(longest, plan.redirects[i].failure.size());
  }
  return longest;
}

bool opens_a_path(const ChildExec& plan) {
  for (std::size_t i = 0; i < plan.redirect_count; ++i) {
    if (plan.redirects[i].path != nullptr) return true;
  }
  return false;
}

Result<StartedChild, int> start_by_fork(ChildExec plan) {
  PipeEnds ready;
  if (int error = make_pipe(ready); error != 0) return Failure<int>{error};
  plan.ready_fd = ready.write.get();
  // The child closes the pipe with everything above 2, before any step that
  // may wait or write a failure line the parent must read.
  plan.descriptor_bound.include(ready.read.get());
  plan.descriptor_bound.include(ready.write.get());
  pid_t pid;
  int error = 0;
  {
    AllSignalsBlocked blocked;
    pid = ::fork();
    if (pid == 0) exec_in_child(plan);
    if (pid < 0) error = errno;
  }
  if (pid < 0) return Failure<int>{error};
  // End of file once the child has taken the terminal (or executed, or
  // exited): when the run announces "started", typed input such as Ctrl-C
  // already reaches the command's process group as a signal.
  ready.write.reset();
  char byte;
  while (::read(ready.read.get(), &byte, 1) < 0 && errno == EINTR) {
  }
  StartedChild child;
  child.pid = pid;
  return child;
}

constexpr std::size_t kStackSize = 64 * 1024;

// One private stack for every clone child, above a guard page; the mutex
// keeps two launches from sharing it at once.
struct CloneStack {
  std::mutex lock;
  GuardedStacks stack;  // not mapped until the first clone
};

CloneStack& clone_stack() {
  static CloneStack stack;
  return stack;
}

// The clone child's path, or the error number of the clone.
Result<StartedChild, int> start_by_clone(const ChildExec& plan) {
  CloneStack& stack = clone_stack();
  std::lock_guard<std::mutex> hold(stack.lock);
  if (!stack.stack.mapped()) {
    stack.stack = GuardedStacks::map(1, kStackSize);
    if (!stack.stack.mapped()) return Failure<int>{errno};
  }
  int pidfd = -1;
  pid_t pid;
  // The child's failing calls set errno in this thread's own storage.
  const int saved_errno = errno;
  int error = 0;
  {
    AllSignalsBlocked blocked;
    // The parent resumes only once the child has executed or exited, so the
    // plan it reads stays valid, and the terminal is already the child's.
    pid = vfork_clone(exec_in_clone, stack.stack.top(0), const_cast<ChildExec*>(&plan), &pidfd);
    if (pid < 0) error = errno;
  }
  errno = saved_errno;
  if (pid < 0) return Failure<int>{error};
  StartedChild child;
  child.pid = pid;
  child.pidfd.reset(pidfd);
  child.method = LaunchMethod::kVforkClone;
  return child;
}

}  // namespace

LaunchMethod choose_launch_method(const ChildExec& plan, LaunchMethod preferred) {
  if (!kVforkCloneBuilt || preferred != LaunchMethod::kVforkClone) return LaunchMethod::kFork;
  if (opens_a_path(plan)) return LaunchMethod::kFork;
  if (longest_child_line(plan) > kCloneLineLimit) return LaunchMethod::kFork;
  return LaunchMethod::kVforkClone;
}

Result<StartedChild, int> start_child(ChildExec plan, LaunchMethod preferred) {
  if (choose_launch_method(plan, preferred) == LaunchMethod::kVforkClone) {
    // EINVAL or ENOSYS: a kernel without this clone; the fork serves.
    auto child = start_by_clone(plan);
    if (child || (child.error() != EINVAL && child.error() != ENOSYS)) return child;
  }
  return start_by_fork(plan);
}

}  // namespace zelta
