#include "supervise/front_end_watch.h"

#include <errno.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "launch/member_reaper.h"
#include "platform/hot_path.h"
#include "protocol/output.h"

namespace zelta {
namespace {

using Clock = std::chrono::steady_clock;

// Poll time-out where no descriptor tells that a child has ended.
constexpr int kFallbackPollMs = 50;
// How often a capture held open by a lingering process looks at the front end.
constexpr std::chrono::milliseconds kCaptureCheck{250};

// True when `pid` has ended, leaving it to be reaped: while it is a zombie
// its process id, and so its process group id, cannot be taken by another.
bool has_ended(pid_t pid) {
  siginfo_t info = {};
  while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) < 0) {
    if (errno != EINTR) return true;  // nothing left to wait for
  }
  return info.si_pid == pid;
}

}  // namespace

ZELTA_HOT pollfd front_end_poll_entry() { return pollfd{output_fd(), 0, 0}; }

pollfd front_end_change_entry() {
  pollfd entry = front_end_poll_entry();
#ifdef MSG_NOSIGNAL
  struct stat status;
  if (::fstat(entry.fd, &status) == 0 && S_ISSOCK(status.st_mode)) entry.events = POLLOUT;
#endif
  return entry;
}

ZELTA_HOT bool front_end_gone(const pollfd& entry) {
  if ((entry.revents & (POLLERR | POLLHUP)) != 0) mark_output_broken();
#ifdef MSG_NOSIGNAL
  // Sends nothing: it only fails once the peer can no longer receive.
  if ((entry.revents & POLLOUT) != 0 && ::send(entry.fd, "", 0, MSG_DONTWAIT | MSG_NOSIGNAL) < 0 &&
      (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN)) {
    mark_output_broken();
  }
#endif
  return output_broken();
}

bool front_end_gone_now() {
  pollfd entry = front_end_poll_entry();
  while (::poll(&entry, 1, 0) < 0 && errno == EINTR) {
  }
  return front_end_gone(entry);
}

int end_abandoned_terminal(UniqueFd& master, pid_t child, ChildExitWatch& watch,
                           long long grace_ms) {
  master.reset();
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(grace_ms);
  while (!has_ended(child)) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd entry{watch.fd(), POLLIN, 0};
    const int timeout = watch ? static_cast<int>(left.count())
                              : std::min(kFallbackPollMs, static_cast<int>(left.count()));
    if (::poll(&entry, 1, timeout) > 0) watch.clear();
  }
  // The command leads its own session and process group, which takes in
  // what it started in the foreground as well.
  ::kill(-child, SIGKILL);
  ::kill(child, SIGKILL);
  return wait_for_child(child).value_or(0);
}

WatchedWait wait_watching_front_end(pid_t pid) {
  ChildExitWatch watch = ChildExitWatch::watch(pid);
  while (true) {
    int status = 0;
    const pid_t reaped = ::waitpid(pid, &status, WNOHANG);
    if (reaped == pid) return {WatchedWait::Outcome::kExited, status};
    if (reaped < 0 && errno != EINTR) return {WatchedWait::Outcome::kFailed, 0};
    pollfd fds[2] = {{watch.fd(), POLLIN, 0}, front_end_poll_entry()};
    if (::poll(fds, 2, watch ? -1 : kFallbackPollMs) > 0 && fds[0].revents != 0) watch.clear();
    if (front_end_gone(fds[1])) return {WatchedWait::Outcome::kFrontEndGone, 0};
  }
}

bool join_watching_front_end(CaptureThread& capture, CaptureBuffer& out) {
  while (!capture.wait_for(kCaptureCheck)) {
    if (front_end_gone_now()) return false;
  }
  out = capture.join();
  return true;
}

void end_abandoned_members(const std::vector<pid_t>& pids) {
  for (pid_t pid : pids) ::kill(pid, SIGKILL);
  for (pid_t pid : pids) (void)wait_for_child(pid);
}

}  // namespace zelta
