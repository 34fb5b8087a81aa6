// Waiting for a child to end without spinning: a descriptor to poll.
#pragma once

#include <sys/types.h>

#include "platform/unique_fd.h"

namespace zelta {

/// A descriptor that becomes readable when a watched child may have ended, so
/// a poll loop can sleep until then. The watch never reaps anything: after a
/// wake-up the owner calls clear() and then checks its own child with
/// waitpid(pid, WNOHANG), which leaves every other child of the process to
/// whoever owns it.
///
/// A child that ended before the watch was made may not wake it: check the
/// child once after making the watch (a loop that checks before each poll
/// does).
class ChildExitWatch {
 public:
  ChildExitWatch() = default;
  ~ChildExitWatch();
  ChildExitWatch(ChildExitWatch&& other) noexcept;
  ChildExitWatch& operator=(ChildExitWatch&& other) noexcept;
  ChildExitWatch(const ChildExitWatch&) = delete;
  ChildExitWatch& operator=(const ChildExitWatch&) = delete;

  /// Watches `pid`, a child of the caller. Where the system can hand out a
  /// descriptor for the process itself (a pidfd) that is used; otherwise a
  /// pipe of the watch's own is written to by a process-wide SIGCHLD handler
  /// (installed on first use, passing the signal on to any handler that was
  /// there before). Without either, fd() is -1.
  static ChildExitWatch watch(pid_t pid);

  /// Watches a child through a process descriptor the caller already holds
  /// (handed out by the child's creation); an empty one gives no watch.
  static ChildExitWatch adopt(UniqueFd pidfd);

  /// The descriptor to poll for POLLIN, or -1 when there is none (poll with a
  /// time-out then).
  int fd() const { return fd_.get(); }
  explicit operator bool() const { return static_cast<bool>(fd_); }

  /// Empties the wake-ups received so far; call it after poll reported the
  /// descriptor readable and before checking the child.
  void clear();

  /// Stops watching and closes the descriptor.
  void reset();

 private:
  UniqueFd fd_;
  // The write end registered with the SIGCHLD handler; invalid for a pidfd.
  UniqueFd wake_write_;
  int slot_ = -1;
};

}  // namespace zelta
