#include "platform/poller.h"

#include <errno.h>

#include <algorithm>
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
#if ZELTA_LINUX_CALLS
  list_.reset(::epoll_create1(EPOLL_CLOEXEC));
#endif
}

// Brings the readiness list in line with `fds`; false when that failed.
ZELTA_HOT bool Poller::update(const pollfd* fds, std::size_t count) {
#if ZELTA_LINUX_CALLS
  const std::size_t entries = std::max(count, registered_.size());
  auto wanted = [&](std::size_t i) {
    return i < count && fds[i].fd >= 0 ? fds[i] : pollfd{-1, 0, 0};
  };
  auto held_edge = [&](std::size_t i) {
    return i < registered_edge_.size() && registered_edge_[i];
  };
  bool unchanged = true;
  for (std::size_t i = 0; i < entries && unchanged; ++i) {
    const pollfd want = wanted(i);
    const pollfd held = i < registered_.size() ? registered_[i] : pollfd{-1, 0, 0};
    unchanged = want.fd == held.fd &&
                (want.fd < 0 || (want.events == held.events && edge(i) == held_edge(i)));
  }
  // The common cycle waits on what the last one did: nothing to tell the kernel.
  if (unchanged) return true;
  registered_.resize(entries, pollfd{-1, 0, 0});
  registered_edge_.resize(entries, false);
  // Removals first, so that a descriptor may move from one entry to another.
  for (std::size_t i = 0; i < entries; ++i) {
    pollfd& held = registered_[i];
    if (held.fd < 0 || held.fd == wanted(i).fd) continue;
    // A descriptor closed since is no longer listed: nothing to remove.
    if (::epoll_ctl(list_.get(), EPOLL_CTL_DEL, held.fd, nullptr) != 0 && errno != EBADF &&
        errno != ENOENT) {
      return false;
    }
    held = {-1, 0, 0};
  }
  for (std::size_t i = 0; i < entries; ++i) {
    pollfd& held = registered_[i];
    const pollfd want = wanted(i);
    if (want.fd < 0 ||
        (held.fd >= 0 && held.events == want.events && registered_edge_[i] == edge(i))) {
      continue;
    }
    epoll_event event{};
    // The poll and epoll event bits have the same values.
    event.events = static_cast<std::uint32_t>(static_cast<unsigned short>(want.events));
    if (edge(i)) event.events |= EPOLLET;
    event.data.u64 = i;
    if (::epoll_ctl(list_.get(), held.fd >= 0 ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, want.fd, &event) !=
        0) {
      return false;
    }
    held = want;
    registered_edge_[i] = edge(i);
  }
  // Trailing entries that hold nothing are forgotten.
  while (!registered_.empty() && registered_.back().fd < 0) {
    registered_.pop_back();
    registered_edge_.pop_back();
  }
  return true;
#else
  (void)fds;
  (void)count;
  return false;
#endif
}

void Poller::forget_from(std::size_t first) {
#if ZELTA_LINUX_CALLS
  for (std::size_t i = first; i < registered_.size(); ++i) {
    // A descriptor closed since is no longer listed: nothing to remove.
    if (registered_[i].fd >= 0) ::epoll_ctl(list_.get(), EPOLL_CTL_DEL, registered_[i].fd, nullptr);
  }
#endif
  if (first < registered_.size()) {
    registered_.resize(first);
    registered_edge_.resize(first);
  }
}

ZELTA_HOT int Poller::poll(pollfd* fds, std::size_t count, int timeout_ms) {
#if ZELTA_LINUX_CALLS
  static_assert(EPOLLIN == POLLIN && EPOLLOUT == POLLOUT && EPOLLERR == POLLERR &&
                EPOLLHUP == POLLHUP && EPOLLPRI == POLLPRI);
  if (list_ && !update(fds, count)) list_.reset();
  if (list_) {
    // Entries beyond one wait's reach stay on the readiness list and are
    // reported by the next wait.
    constexpr int kMaxReported = 64;
    epoll_event events[kMaxReported];
    const int ready = ::epoll_wait(list_.get(), events, kMaxReported, timeout_ms);
    if (ready < 0) return ready;
    for (std::size_t i = 0; i < count; ++i) fds[i].revents = 0;
    int reported = 0;
    for (int k = 0; k < ready; ++k) {
      const std::size_t i = static_cast<std::size_t>(events[k].data.u64);
      if (i >= count) continue;
      fds[i].revents = static_cast<short>(events[k].events & 0xFFFF);
      ++reported;
    }
    return reported;
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
