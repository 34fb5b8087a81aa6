#include "service/startup.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/allocator.h"

namespace zelta {

void start_up() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is `fd` itself, since the ones below are open.
    // Not close-on-exec: these are the executor's own standard streams.
    int opened = ::open("/dev/null", O_RDWR);
    if (opened != fd) std::abort();
  }
  ::signal(SIGPIPE, SIG_IGN);
  // Dispositions of ignored signals and the signal mask survive exec. A front
  // end that ignores SIGCHLD (to be rid of its own zombies) would have the
  // system reap the executor's children, so waitpid could never report an
  // exit status; a blocked SIGCHLD would keep the signal-based child watch of
  // systems without pidfds asleep. Children get defaults and an empty mask
  // of their own at launch, whatever is set here.
  struct sigaction child_default = {};
  child_default.sa_handler = SIG_DFL;
  ::sigemptyset(&child_default.sa_mask);
  ::sigaction(SIGCHLD, &child_default, nullptr);
  sigset_t child_signal;
  ::sigemptyset(&child_signal);
  ::sigaddset(&child_signal, SIGCHLD);
  ::sigprocmask(SIG_UNBLOCK, &child_signal, nullptr);
  // Blocks of a megabyte or more (long request lines, large typed input,
  // big captures) come straight from the system and go back to it when
  // freed. Without a fixed threshold the allocator raises it after such a
  // block is freed and keeps later ones in a heap it does not shrink.
  set_direct_allocation_threshold(1 << 20);
  int flags = ::fcntl(0, F_GETFL);
  if (flags != -1 && (flags & O_NONBLOCK)) ::fcntl(0, F_SETFL, flags & ~O_NONBLOCK);
}

}  // namespace zelta
