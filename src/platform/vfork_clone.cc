#include "platform/vfork_clone.h"

#include <errno.h>
#include <sched.h>
#include <signal.h>

namespace zelta {

#if ZELTA_LINUX_CALLS && !defined(ZELTA_SANITIZED_BUILD)

pid_t vfork_clone(SharedChildEntry entry, char* stack_top, void* arg, int* pidfd) {
  const int flags = CLONE_VM | CLONE_VFORK | SIGCHLD | (pidfd != nullptr ? CLONE_PIDFD : 0);
  return ::clone(entry, stack_top, flags, arg, pidfd);
}

pid_t shared_clone(SharedChildEntry entry, char* stack_top, void* arg) {
  return ::clone(entry, stack_top, CLONE_VM | SIGCHLD, arg);
}

#else

pid_t vfork_clone(SharedChildEntry, char*, void*, int*) {
  errno = ENOSYS;
  return -1;
}

pid_t shared_clone(SharedChildEntry, char*, void*) {
  errno = ENOSYS;
  return -1;
}

#endif

}  // namespace zelta
