#include "platform/bare_fork.h"

#include <unistd.h>

#include "platform/features.h"

namespace zelta {

pid_t bare_fork() {
#if ZELTA_LINUX_CALLS && defined(__GLIBC__) && \
    (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  return ::_Fork();
#else
  return ::fork();
#endif
}

}  // namespace zelta
