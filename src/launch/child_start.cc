#include "launch/child_start.h"

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>

#include "platform/pipe.h"

namespace zelta {
namespace {

// Blocks every signal of the calling thread for its lifetime.
class AllSignalsBlocked {
 public:
  AllSignalsBlocked() {
    sigset_t all;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous_);
  }
  ~AllSignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  AllSignalsBlocked(const AllSignalsBlocked&) = delete;
  AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};

Result<StartedChild, int> start_by_fork(ChildExec plan) {
  PipeEnds ready;
  if (int error = make_pipe(ready); error != 0) return Failure<int>{error};
  plan.ready_fd = ready.write.get();
  pid_t pid;
  {
    AllSignalsBlocked blocked;
    pid = ::fork();
    if (pid == 0) exec_in_child(plan);
  }
  if (pid < 0) return Failure<int>{errno};
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

#if ZELTA_LINUX_CALLS
constexpr std::size_t kStackSize = 64 * 1024;
constexpr std::size_t kGuardSize = 4096;

// One private stack for every clone child, below a guard page; the mutex
// keeps two launches from sharing it at once.
struct CloneStack {
  std::mutex lock;
  char* base = nullptr;  // lowest usable byte; nullptr until mapped
};

CloneStack& clone_stack() {
  static CloneStack stack;
  return stack;
}

[[maybe_unused]] int clone_entry(void* plan) {
  exec_in_child(*static_cast<const ChildExec*>(plan));
}

// The clone child's path, or nullopt-like failure with the error number;
// EINVAL or ENOSYS mean the kernel does not offer it.
[[maybe_unused]] Result<StartedChild, int> start_by_clone(const ChildExec& plan) {
  CloneStack& stack = clone_stack();
  std::lock_guard<std::mutex> hold(stack.lock);
  if (stack.base == nullptr) {
    void* mapped = ::mmap(nullptr, kStackSize + kGuardSize, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mapped == MAP_FAILED) return Failure<int>{errno};
    ::mprotect(mapped, kGuardSize, PROT_NONE);
    stack.base = static_cast<char*>(mapped) + kGuardSize;
  }
  int pidfd = -1;
  pid_t pid;
  {
    AllSignalsBlocked blocked;
    // The parent resumes only once the child has executed or exited, so the
    // plan it reads stays valid, and the terminal is already the child's.
    pid = ::clone(clone_entry, stack.base + kStackSize,
                  CLONE_VM | CLONE_VFORK | CLONE_PIDFD | SIGCHLD, const_cast<ChildExec*>(&plan),
                  &pidfd);
  }
  if (pid < 0) return Failure<int>{errno};
  StartedChild child;
  child.pid = pid;
  child.pidfd.reset(pidfd);
  child.method = LaunchMethod::kVforkClone;
  return child;
}
#endif

}  // namespace

Result<StartedChild, int> start_child(ChildExec plan, LaunchMethod method) {
#if ZELTA_LINUX_CALLS
  if constexpr (kVforkCloneBuilt) {
    if (method == LaunchMethod::kVforkClone) {
      auto child = start_by_clone(plan);
      if (child || (child.error() != EINVAL && child.error() != ENOSYS)) return child;
    }
  }
#endif
  (void)method;
  return start_by_fork(plan);
}

}  // namespace zelta
