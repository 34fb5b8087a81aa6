#include "platform/poller.h"

#include <errno.h>

#include <chrono>
#include <cstdint>

#include "platform/features.h"
#include "platform/hot_path.h"

#if ZELTA_LINUX_CALLS
#include <sched.h>
#include <sys/epoll.h>
#else
#include <unistd.h>
#endif

namespace zelta {
namespace {

// Whether this process may run on more than one processor, asked once.
bool several_processors() {
  static const bool several = [] {
#if ZELTA_LINUX_CALLS
    cpu_set_t allowed;
    if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0) return CPU_COUNT(&allowed) > 1;
    return false;
#else
    return ::sysconf(_SC_NPROCESSORS_ONLN) > 1;
#endif
  }();
  return several;
}

}  // namespace

Poller::Poller() {
  for (pollfd& entry : registered_) entry = {-1, 0, 0};
#if ZELTA_LINUX_CALLS
  list_.reset(::epoll_create1(EPOLL_CLOEXEC));
#endif
}

// Brings the readiness list in line with `fds`; false when that failed.
ZELTA_HOT bool Poller::update(const pollfd* fds, std::size_t count) {
#if ZELTA_LINUX_CALLS
  pollfd wanted[kMaxEntries];
  bool unchanged = true;
  for (std::size_t i = 0; i < kMaxEntries; ++i) {
    wanted[i] = i < count && fds[i].fd >= 0 ? fds[i] : pollfd{-1, 0, 0};
    unchanged = unchanged && wanted[i].fd == registered_[i].fd &&
                (wanted[i].fd < 0 ||
                 (wanted[i].events == registered_[i].events && edge_[i] == registered_edge_[i]));
  }
  // The common cycle waits on what the last one did: nothing to tell the kernel.
  if (unchanged) return true;
  // Removals first, so that a descriptor may move from one entry to another.
  for (std::size_t i = 0; i < kMaxEntries; ++i) {
    pollfd& held = registered_[i];
    if (held.fd < 0 || held.fd == wanted[i].fd) continue;
    // A descriptor closed since is no longer listed: nothing to remove.
    if (::epoll_ctl(list_.get(), EPOLL_CTL_DEL, held.fd, nullptr) != 0 && errno != EBADF &&
        errno != ENOENT) {
      return false;
    }
    held = {-1, 0, 0};
  }
  for (std::size_t i = 0; i < kMaxEntries; ++i) {
    pollfd& held = registered_[i];
    if (wanted[i].fd < 0 ||
        (held.fd >= 0 && held.events == wanted[i].events && registered_edge_[i] == edge_[i])) {
      continue;
    }
    epoll_event event{};
    // The poll and epoll event bits have the same values.
    event.events = static_cast<std::uint32_t>(static_cast<unsigned short>(wanted[i].events));
    if (edge_[i]) event.events |= EPOLLET;
    event.data.u64 = i;
    if (::epoll_ctl(list_.get(), held.fd >= 0 ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, wanted[i].fd,
                    &event) != 0) {
      return false;
    }
    held = wanted[i];
    registered_edge_[i] = edge_[i];
  }
  return true;
#else
  (void)fds;
  (void)count;
  return false;
#endif
}

ZELTA_HOT int Poller::poll(pollfd* fds, std::size_t count, int timeout_ms) {
#if ZELTA_LINUX_CALLS
  static_assert(EPOLLIN == POLLIN && EPOLLOUT == POLLOUT && EPOLLERR == POLLERR &&
                EPOLLHUP == POLLHUP && EPOLLPRI == POLLPRI);
  if (list_ && count <= kMaxEntries && !update(fds, count)) list_.reset();
  if (list_ && count <= kMaxEntries) {
    epoll_event events[kMaxEntries];
    const int ready = ::epoll_wait(list_.get(), events, static_cast<int>(kMaxEntries), timeout_ms);
    if (ready < 0) return ready;
    for (std::size_t i = 0; i < count; ++i) fds[i].revents = 0;
    for (int k = 0; k < ready; ++k) {
      const std::size_t i = static_cast<std::size_t>(events[k].data.u64);
      fds[i].revents = static_cast<short>(events[k].events & 0xFFFF);
    }
    return ready;
  }
#endif
  return ::poll(fds, static_cast<nfds_t>(count), timeout_ms);
}

ZELTA_HOT int Poller::poll_expecting(pollfd* fds, std::size_t count, int timeout_ms, int spin_us) {
  if (spin_us > 0 && timeout_ms != 0 && several_processors()) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point until = Clock::now() + std::chrono::microseconds(spin_us);
    do {
      const int ready = poll(fds, count, 0);
      if (ready != 0) return ready;
    } while (Clock::now() < until);
  }
  return poll(fds, count, timeout_ms);
}

}  // namespace zelta
