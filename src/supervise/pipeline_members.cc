#include "supervise/pipeline_members.h"

#include <errno.h>
#include <signal.h>
#include <sys/wait.h>

#include <vector>

#include "supervise/front_end_watch.h"
#include "supervise/pipeline_run.h"

namespace zelta {
namespace {

// Wait time-out where no descriptor tells that a member has ended.
constexpr int kFallbackPollMs = 50;

}  // namespace

void PipelineMembers::prepare(pollfd& entry, int& timeout_ms, bool& renewed) {
  while (!all_reaped()) {
    PipelineChild& child = launch_.children[next_];
    if (!watching_) {
      // A member that ends before its watch is made may not wake it: it is
      // asked about once after.
      watch_ = ChildExitWatch::watch(child.pid);
      watching_ = true;
      renewed = true;
      check_ = true;
    }
    if (!check_) break;
    check_ = !watch_;
    int status = 0;
    const pid_t reaped = ::waitpid(child.pid, &status, WNOHANG);
    if (reaped == child.pid || (reaped < 0 && errno != EINTR)) {
      child.reaped = true;
      exit_code_ = reaped == child.pid ? pipeline_exit_code(status) : 1;
      last_status_.reset();
      if (reaped == child.pid) last_status_ = status;
      watch_.reset();
      watching_ = false;
      ++next_;
      continue;
    }
    if (reaped < 0) {
      check_ = true;  // interrupted: asked again at once
      timeout_ms = 0;
    }
    break;
  }
  if (all_reaped()) {
    entry = {-1, POLLIN, 0};
    return;
  }
  entry = {watch_.fd(), POLLIN, 0};
  if (!watch_ && (timeout_ms < 0 || timeout_ms > kFallbackPollMs)) timeout_ms = kFallbackPollMs;
}

void PipelineMembers::ready(const pollfd& entry, bool timed_out) {
  if (all_reaped()) return;
  if (entry.revents != 0) {
    watch_.clear();
    check_ = true;
  }
  if (timed_out) check_ = true;
}

void PipelineMembers::signal(int signal_number) {
  // Each member leads a process group of its own: what it started in that
  // group gets the signal too, also after the member itself has ended (it may
  // hold a pipe open). Last member first: an earlier member that ends first
  // would let a later one see the end of its input and exit normally before
  // its own signal.
  for (auto child = launch_.children.rbegin(); child != launch_.children.rend(); ++child) {
    ::kill(-child->pid, signal_number);
  }
}

void PipelineMembers::end_unattended() {
  std::vector<pid_t> left;
  for (PipelineChild& member : launch_.children) {
    if (!member.reaped) left.push_back(member.pid);
    member.reaped = true;
  }
  next_ = launch_.children.size();
  watch_.reset();
  end_abandoned_members(left);
}

}  // namespace zelta
