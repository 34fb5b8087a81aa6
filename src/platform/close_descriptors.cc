#include "platform/close_descriptors.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <climits>

#include "platform/features.h"

#if ZELTA_LINUX_CALLS
#include <sys/syscall.h>
#endif

namespace zelta {
namespace {

int limit_bound() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      limit.rlim_cur <= static_cast<rlim_t>(INT_MAX)) {
    return static_cast<int>(limit.rlim_cur);
  }
  const long open_max = ::sysconf(_SC_OPEN_MAX);
  return open_max > 0 && open_max <= INT_MAX ? static_cast<int>(open_max) : 1024;
}

#if !ZELTA_LINUX_CALLS
// One past the highest descriptor listed in /dev/fd, or -1 when it cannot be
// listed. The listing's own descriptor is among those listed.
int listed_bound() {
  DIR* listing = ::opendir("/dev/fd");
  if (listing == nullptr) return -1;
  int highest = -1;
  while (const dirent* entry = ::readdir(listing)) {
    char* end = nullptr;
    const long fd = ::strtol(entry->d_name, &end, 10);
    if (end != entry->d_name && *end == '\0' && fd > highest && fd < INT_MAX) {
      highest = static_cast<int>(fd);
    }
  }
  ::closedir(listing);
  return highest + 1;
}
#endif

// Closes the descriptors from `from` up to, not including, `end` (-1: all the
// way up), with one system call where there is one.
void close_span(const DescriptorBound& bound, int from, int end) {
  if (end >= 0 && end <= from) return;
#if ZELTA_LINUX_CALLS && defined(SYS_close_range)
  const unsigned last = end < 0 ? ~0u : static_cast<unsigned>(end) - 1u;
  if (::syscall(SYS_close_range, static_cast<unsigned>(from), last, 0u) == 0) return;
#endif
  const int stop = end < 0 ? bound.end : end;
  for (int fd = from; fd < stop; ++fd) ::close(fd);
}

}  // namespace

DescriptorBound find_descriptor_bound() {
#if ZELTA_LINUX_CALLS
  // close_range needs no bound; this one serves only kernels without it.
  return {limit_bound()};
#else
  const int listed = listed_bound();
  return {listed > 0 ? listed : limit_bound()};
#endif
}

void close_descriptors_above_stderr(const DescriptorBound& bound, int keep) {
  close_descriptors_above_stderr(bound, &keep, keep >= 3 ? 1 : 0);
}

void close_descriptors_above_stderr(const DescriptorBound& bound, const int* keep,
                                    std::size_t keep_count) {
  int from = 3;
  for (std::size_t i = 0; i < keep_count; ++i) {
    if (keep[i] < from) continue;
    close_span(bound, from, keep[i]);
    from = keep[i] + 1;
  }
  close_span(bound, from, -1);
}

}  // namespace zelta
