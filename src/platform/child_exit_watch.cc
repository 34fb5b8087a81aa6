#include "platform/child_exit_watch.h"

#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <utility>

#include "platform/features.h"
#include "platform/pipe.h"

#if ZELTA_LINUX_CALLS
#include <sys/syscall.h>
#endif

namespace zelta {
namespace {

// Write ends of the registered watches, stored as descriptor + 1 (0: free).
// The handler only reads this table, so it needs no lock; a watch that leaves
// empties its slot and then waits until no handler is running before closing
// the descriptor, so the handler never writes to a number that has since been
// reused for something else.
constexpr int kSlots = 64;
std::atomic<int> g_slots[kSlots];
std::atomic<int> g_handlers_running{0};
struct sigaction g_previous;

void on_child_signal(int signal_number, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  g_handlers_running.fetch_add(1);
  const char byte = 0;
  for (std::atomic<int>& slot : g_slots) {
    const int value = slot.load();
    // A full pipe already holds a wake-up; the byte can be dropped.
    if (value > 0) {
      [[maybe_unused]] ssize_t ignored = ::write(value - 1, &byte, 1);
    }
  }
  g_handlers_running.fetch_sub(1);
  if ((g_previous.sa_flags & SA_SIGINFO) != 0) {
    if (g_previous.sa_sigaction != nullptr) g_previous.sa_sigaction(signal_number, info, context);
  } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    g_previous.sa_handler(signal_number);
  }
  errno = saved_errno;
}

bool install_handler() {
  static std::once_flag once;
  static bool installed = false;
  std::call_once(once, [] {
    struct sigaction action = {};
    action.sa_sigaction = on_child_signal;
    action.sa_flags = SA_SIGINFO | SA_RESTART | SA_NOCLDSTOP;
    ::sigemptyset(&action.sa_mask);
    installed = ::sigaction(SIGCHLD, &action, &g_previous) == 0;
  });
  return installed;
}

int take_slot(int write_fd) {
  for (int i = 0; i < kSlots; ++i) {
    int expected = 0;
    if (g_slots[i].compare_exchange_strong(expected, write_fd + 1)) return i;
  }
  return -1;
}

void release_slot(int slot) {
  g_slots[slot].store(0);
  while (g_handlers_running.load() != 0) ::sched_yield();
}

#if ZELTA_LINUX_CALLS
UniqueFd open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  // Close-on-exec by definition.
  return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#else
  (void)pid;
  return UniqueFd();
#endif
}
#endif

}  // namespace

ChildExitWatch::~ChildExitWatch() { reset(); }

ChildExitWatch::ChildExitWatch(ChildExitWatch&& other) noexcept
    : fd_(std::move(other.fd_)),
      wake_write_(std::move(other.wake_write_)),
      slot_(std::exchange(other.slot_, -1)) {}

ChildExitWatch& ChildExitWatch::operator=(ChildExitWatch&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = std::move(other.fd_);
    wake_write_ = std::move(other.wake_write_);
    slot_ = std::exchange(other.slot_, -1);
  }
  return *this;
}

ChildExitWatch ChildExitWatch::watch(pid_t pid) {
  ChildExitWatch watch;
#if ZELTA_LINUX_CALLS
  watch.fd_ = open_pidfd(pid);
  if (watch.fd_) return watch;
#else
  (void)pid;
#endif
  PipeEnds ends;
  if (!install_handler() || make_pipe(ends, true) != 0) return watch;
  watch.slot_ = take_slot(ends.write.get());
  if (watch.slot_ < 0) return watch;
  watch.fd_ = std::move(ends.read);
  watch.wake_write_ = std::move(ends.write);
  return watch;
}

ChildExitWatch ChildExitWatch::adopt(UniqueFd pidfd) {
  ChildExitWatch watch;
  watch.fd_ = std::move(pidfd);
  return watch;
}

void ChildExitWatch::clear() {
  if (!wake_write_) return;
  char bytes[64];
  while (::read(fd_.get(), bytes, sizeof bytes) > 0) {
  }
}

void ChildExitWatch::reset() {
  if (slot_ >= 0) release_slot(std::exchange(slot_, -1));
  wake_write_.reset();
  fd_.reset();
}

}  // namespace zelta
