#include "launch/job_launch.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "launch/child_side.h"
#include "launch/child_start.h"
#include "launch/exec_plan.h"
#include "platform/all_signals_blocked.h"
#include "platform/bare_fork.h"
#include "platform/guarded_stacks.h"
#include "platform/pipe.h"
#include "platform/raw_syscall.h"
#include "platform/signal_dispositions.h"

namespace zelta {
namespace {

// The leader reports once its members are created; this only bounds a leader
// that cannot run at all, or one whose terminal is full past what is read
// while waiting.
constexpr int kReportTimeoutMs = 10000;

// Most of the terminal's output read before the report.
constexpr std::size_t kEarlyOutputLimit = 1 << 20;

// Waits for the members' process group as the leader reports it, reading the
// terminal meanwhile into `early` (a member may write there before its exec,
// and the leader may be waiting for that member); the group, or 0 when the
// leader reports none (no member started) within the time-out.
pid_t await_group(int report_fd, int master_fd, std::string& early) {
  pid_t group = 0;
  std::size_t have = 0;
  char* bytes = reinterpret_cast<char*>(&group);
  bool reading_terminal = true;
  char buffer[4096];
  while (have < sizeof group) {
    pollfd entries[2] = {{report_fd, POLLIN, 0}, {reading_terminal ? master_fd : -1, POLLIN, 0}};
    const int ready = ::poll(entries, 2, kReportTimeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return 0;
    if (entries[1].revents != 0) {
      const ssize_t n = ::read(master_fd, buffer, sizeof buffer);
      if (n > 0) {
        early.append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        reading_terminal = false;
      }
      if (early.size() >= kEarlyOutputLimit) reading_terminal = false;
    }
    if (entries[0].revents == 0) continue;
    const ssize_t n = ::read(report_fd, bytes + have, sizeof group - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    have += static_cast<std::size_t>(n);
  }
  return group;
}

}  // namespace

char* member_stack_top() {
  if constexpr (!kVforkCloneBuilt) return nullptr;
  // One shared-memory member runs at a time (the leader waits for it), so one
  // stack serves them all; a leader's writes land in its own copy.
  static char* const top = []() -> char* {
    const GuardedStacks stack = GuardedStacks::map(1, kMemberStackSize);
    return stack.mapped() ? stack.top(0) : nullptr;
  }();
  return top;
}

Result<PtyLaunch> launch_job(const LaunchForm& form) {
  if (form.commands.empty()) return fail("Missing pipeline commands");
  // Everything the leader and the members read is prepared before the fork.
  prepare_child_error_texts();
  int reset_signals[NSIG];
  const std::size_t reset_count = signals_not_at_default(reset_signals);
  std::vector<std::unique_ptr<ExecPlan>> members;
  std::vector<const ChildExec*> execs;
  std::vector<LaunchMethod> methods;
  members.reserve(form.commands.size());
  for (const LaunchCommand& member : form.commands) {
    members.push_back(build_exec_plan(member, form, reset_signals, reset_count));
    execs.push_back(&members.back()->exec);
    methods.push_back(choose_launch_method(members.back()->exec, LaunchMethod::kVforkClone));
  }
  std::vector<pid_t> pids(members.size(), -1);

  winsize size = {};
  size.ws_row = form.rows;
  size.ws_col = form.cols;
  auto terminal = open_terminal(size);
  if (!terminal) return fail("forkpty failed");
  PipeEnds report;
  if (make_pipe(report) != 0) return fail("forkpty failed");
  // Found once everything is open that a member must not hold while it
  // waits: the terminal's master, the report pipe, other members' documents.
  const DescriptorBound bound = find_descriptor_bound();
  for (auto& member : members) member->exec.descriptor_bound = bound;

  JobLeaderPlan plan;
  plan.slave_fd = terminal->slave.get();
  plan.master_fd = terminal->master.get();
  plan.report_fd = report.write.get();
  plan.members = execs.data();
  plan.methods = methods.data();
  plan.member_stack_top = member_stack_top();
  plan.member_count = execs.size();
  // Side by side only when every member would share memory anyway (nothing
  // before its exec can wait) and its failures come back without errno.
  plan.side_by_side = kRawSyscallsBuilt && execs.size() > 1 &&
                      std::all_of(methods.begin(), methods.end(), [](LaunchMethod method) {
                        return method == LaunchMethod::kVforkClone;
                      });
  plan.pids = pids.data();

  pid_t leader;
  {
    // The leader inherits the mask and keeps it, so no handler of the
    // executor runs there and a typed Ctrl-C or a hang-up never ends it
    // before its members.
    AllSignalsBlocked blocked;
    leader = bare_fork();
    if (leader == 0) run_job_leader(plan);
  }
  if (leader < 0) return fail("forkpty failed");
  report.write.reset();
  terminal->slave.reset();

  PtyLaunch launch;
  launch.child_pid = leader;
  launch.job_group = await_group(report.read.get(), terminal->master.get(), launch.early_output);
  // Without a reported group (no member could be forked) signals go to the
  // leader's own group, which holds nobody else.
  if (launch.job_group == 0) launch.job_group = leader;
  launch.master_fd = std::move(terminal->master);
  launch.backend_pid = ::getpid();
  launch.run_id = form.run_id;
  launch.command = form.commands.front().name;
  return launch;
}

}  // namespace zelta
