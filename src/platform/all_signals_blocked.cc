#include "platform/all_signals_blocked.h"

#include <pthread.h>

#include <cstring>

#include "platform/features.h"

#if ZELTA_LINUX_CALLS
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace zelta {
namespace {

#if ZELTA_LINUX_CALLS
// The kernel's signal set is _NSIG bits, a prefix of the C library's sigset_t.
constexpr unsigned long kKernelSetSize = _NSIG / 8;
#endif

}  // namespace

AllSignalsBlocked::AllSignalsBlocked() {
  ::sigemptyset(&previous_);
  sigset_t all;
#if ZELTA_LINUX_CALLS
  // sigfillset leaves the C library's internal signals out; every bit is set
  // here instead.
  std::memset(&all, 0xFF, sizeof all);
  if (::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &all, &previous_, kKernelSetSize) == 0) return;
#endif
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous_);
}

AllSignalsBlocked::~AllSignalsBlocked() {
#if ZELTA_LINUX_CALLS
  if (::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &previous_, nullptr, kKernelSetSize) == 0) return;
#endif
  ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

}  // namespace zelta
