#include "platform/terminal_peer.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>

#include <cstddef>
#include <mutex>

#include "platform/features.h"

namespace zelta {
namespace {

constexpr int kPeerFlags = O_RDWR | O_NOCTTY | O_CLOEXEC;

// The slave's path name. ptsname itself returns a static buffer, so where the
// reentrant form is missing the call and the copy happen under a lock.
bool peer_name(int master_fd, char* name, std::size_t size) {
#if defined(__GLIBC__) || defined(__APPLE__) || defined(__FreeBSD__)
  return ::ptsname_r(master_fd, name, size) == 0;
#else
  static std::mutex lock;
  std::lock_guard<std::mutex> held(lock);
  const char* shared = ::ptsname(master_fd);
  if (shared == nullptr) return false;
  std::size_t i = 0;
  for (; shared[i] != '\0'; ++i) {
    if (i + 1 >= size) return false;
    name[i] = shared[i];
  }
  name[i] = '\0';
  return true;
#endif
}

}  // namespace

UniqueFd open_terminal_peer(int master_fd) {
#if ZELTA_LINUX_CALLS && defined(TIOCGPTPEER)
  // Opened through the master, so no path lookup can reach another terminal.
  UniqueFd peer(::ioctl(master_fd, TIOCGPTPEER, kPeerFlags));
  if (peer) return peer;
#endif
  char name[128];
  if (!peer_name(master_fd, name, sizeof name)) return UniqueFd();
  return UniqueFd(::open(name, kPeerFlags));
}

}  // namespace zelta
