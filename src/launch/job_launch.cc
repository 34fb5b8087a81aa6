#include "launch/job_launch.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "launch/job_leader.h"
#include "launch/member_plan.h"
#include "platform/pipe.h"

namespace zelta {
namespace {

// The leader reports right after its first fork; this only bounds a leader
// that cannot run at all.
constexpr int kReportTimeoutMs = 10000;

// Blocks every signal of the calling thread for its lifetime: the leader
// inherits the mask and keeps it, so no handler of the executor runs there
// and a typed Ctrl-C or a hang-up never ends it before its members.
class AllSignalsBlocked {
 public:
  AllSignalsBlocked() {
    sigset_t all;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous_);
  }
  ~AllSignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  AllSignalsBlocked(const AllSignalsBlocked&) = delete;
  AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};

// The members' process group as the leader reports it, or 0 when it reports
// none (no member started) within the time-out.
pid_t read_group(int fd) {
  pid_t group = 0;
  std::size_t have = 0;
  char* bytes = reinterpret_cast<char*>(&group);
  while (have < sizeof group) {
    pollfd entry{fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, kReportTimeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return 0;
    const ssize_t n = ::read(fd, bytes + have, sizeof group - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    have += static_cast<std::size_t>(n);
  }
  return group;
}

}  // namespace

Result<PtyLaunch> launch_job(const Request& form) {
  if (!form.commands || form.commands->empty()) return fail("Missing pipeline commands");
  if (form.operators) {
    for (const std::string& op : *form.operators) {
      if (op != "|") return fail("Only '|' operator is supported in run.pipeline");
    }
  }
  // Everything the leader and the members read is prepared before the fork.
  prepare_child_error_texts();
  int reset_signals[NSIG];
  const std::size_t reset_count = signals_not_at_default(reset_signals);
  std::vector<std::unique_ptr<MemberPlan>> members;
  std::vector<const ChildExec*> execs;
  members.reserve(form.commands->size());
  for (const PipelineCommand& member : *form.commands) {
    members.push_back(prepare_member(member, form, reset_signals, reset_count));
    execs.push_back(&members.back()->exec);
  }
  std::vector<pid_t> pids(members.size(), -1);

  winsize size = {};
  size.ws_row = form.rows.value_or(24);
  size.ws_col = form.cols.value_or(80);
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
  plan.member_count = execs.size();
  plan.pids = pids.data();

  pid_t leader;
  {
    AllSignalsBlocked blocked;
    leader = ::fork();
    if (leader == 0) run_job_leader(plan);
  }
  if (leader < 0) return fail("forkpty failed");
  report.write.reset();
  terminal->slave.reset();

  PtyLaunch launch;
  launch.child_pid = leader;
  launch.job_group = read_group(report.read.get());
  // Without a reported group (no member could be forked) signals go to the
  // leader's own group, which holds nobody else.
  if (launch.job_group == 0) launch.job_group = leader;
  launch.master_fd = std::move(terminal->master);
  launch.backend_pid = ::getpid();
  launch.run_id = form.run_id.value_or("run-0");
  launch.command = form.commands->front().command;
  return launch;
}

}  // namespace zelta
