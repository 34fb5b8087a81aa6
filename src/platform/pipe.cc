#include "platform/pipe.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/features.h"

namespace zelta {
namespace {

#if !ZELTA_LINUX_CALLS
bool add_flags(int fd, bool nonblocking) {
  if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) return false;
  if (!nonblocking) return true;
  const int flags = ::fcntl(fd, F_GETFL);
  return flags != -1 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}
#endif

}  // namespace

int make_pipe(int fds[2], bool nonblocking) {
#if ZELTA_LINUX_CALLS
  if (::pipe2(fds, O_CLOEXEC | (nonblocking ? O_NONBLOCK : 0)) != 0) return errno;
  return 0;
#else
  if (::pipe(fds) != 0) return errno;
  if (!add_flags(fds[0], nonblocking) || !add_flags(fds[1], nonblocking)) {
    const int error = errno;
    ::close(fds[0]);
    ::close(fds[1]);
    return error;
  }
  return 0;
#endif
}

int make_pipe(PipeEnds& ends, bool nonblocking) {
  int fds[2];
  const int error = make_pipe(fds, nonblocking);
  if (error != 0) return error;
  ends.read.reset(fds[0]);
  ends.write.reset(fds[1]);
  return 0;
}

void set_pipe_capacity(int fd, int bytes) {
#if ZELTA_LINUX_CALLS
  ::fcntl(fd, F_SETPIPE_SZ, bytes);
#else
  (void)fd;
  (void)bytes;
#endif
}

}  // namespace zelta
