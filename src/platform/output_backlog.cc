#include "platform/output_backlog.h"

#include <sys/ioctl.h>
#include <sys/stat.h>

namespace zelta {

OutputBacklog::OutputBacklog(int fd) : fd_(fd) {
  struct stat status;
  if (::fstat(fd, &status) != 0) return;
#if defined(FIONREAD) && defined(TIOCOUTQ)
  // A pipe counts what waits in it from either end; a socket or a terminal
  // tells what it still holds to send.
  if (S_ISFIFO(status.st_mode)) {
    request_ = FIONREAD;
  } else if (S_ISSOCK(status.st_mode) || S_ISCHR(status.st_mode)) {
    request_ = TIOCOUTQ;
  }
#endif
}

long OutputBacklog::bytes() const {
  if (request_ == 0) return -1;
  int count = 0;
  if (::ioctl(fd_, request_, &count) != 0) return -1;
  return count;
}

}  // namespace zelta
