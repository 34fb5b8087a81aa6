#include "platform/random_bytes.h"

#include <errno.h>
#include <unistd.h>

#include "platform/features.h"

#if ZELTA_LINUX_CALLS
#include <sys/random.h>
#elif defined(__APPLE__)
#include <sys/random.h>
#endif

namespace zelta {

bool fill_random(unsigned char* out, std::size_t size) {
#if ZELTA_LINUX_CALLS
  while (size > 0) {
    const ssize_t n = ::getrandom(out, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
#else
  // getentropy hands out at most 256 bytes per call.
  while (size > 0) {
    const std::size_t chunk = size < 256 ? size : 256;
    if (::getentropy(out, chunk) != 0) return false;
    out += chunk;
    size -= chunk;
  }
  return true;
#endif
}

}  // namespace zelta
