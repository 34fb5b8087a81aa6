#include "launch/member_reaper.h"

#include <errno.h>
#include <signal.h>
#include <sys/wait.h>

#include <system_error>
#include <thread>

namespace zelta {

std::optional<int> wait_for_child(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return std::nullopt;
  }
  return status;
}

void reap_in_background(std::vector<pid_t> pids, std::vector<CaptureThread> captures) {
  if (pids.empty() && captures.empty()) return;
  auto reap = [](std::vector<pid_t>& pids, std::vector<CaptureThread>& captures) {
    for (pid_t pid : pids) (void)wait_for_child(pid);
    for (CaptureThread& capture : captures) (void)capture.join();
  };
  try {
    std::thread([reap, pids, captures = std::move(captures)]() mutable {
      reap(pids, captures);
    }).detach();
    return;
  } catch (const std::system_error&) {
  }
  // Without a thread the only way not to leave zombies, and not to hold the
  // caller for as long as a member cares to run, is to end them now.
  for (pid_t pid : pids) ::kill(pid, SIGKILL);
  for (pid_t pid : pids) (void)wait_for_child(pid);
}

}  // namespace zelta
