#include "service/startup.h"

#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>

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
  // Blocks of a megabyte or more (long request lines, large typed input,
  // big captures) come straight from the system and go back to it when
  // freed. Without a fixed threshold the allocator raises it after such a
  // block is freed and keeps later ones in a heap it does not shrink.
  ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
  int flags = ::fcntl(0, F_GETFL);
  if (flags != -1 && (flags & O_NONBLOCK)) ::fcntl(0, F_SETFL, flags & ~O_NONBLOCK);
}

}  // namespace zelta
