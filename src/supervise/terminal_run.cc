#include "supervise/terminal_run.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "launch/member_reaper.h"
#include "platform/hot_path.h"
#include "protocol/output.h"
#include "supervise/control.h"
#include "supervise/exit_report.h"
#include "supervise/front_end_terminal_run.h"
#include "supervise/front_end_watch.h"

namespace zelta {
namespace {

void set_nonblocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags != -1) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

bool is_transient(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

// Entries of a terminal run's wait.
constexpr std::size_t kMasterEntry = 0;
constexpr std::size_t kExitEntry = 1;

}  // namespace

TerminalChild::TerminalChild(PtyLaunch launch_in) : launch(std::move(launch_in)) {
  // Readable when the child ends, so that a cycle whose terminal has hung up
  // can sleep until then instead of spinning; without one the cycle times
  // out. The clone path hands over a process descriptor from the child's
  // creation.
  exit_watch = launch.pidfd ? ChildExitWatch::adopt(std::move(launch.pidfd))
                            : ChildExitWatch::watch(launch.child_pid);
}

TerminalChild::~TerminalChild() {
  if (exited || launch.child_pid <= 0) return;
  if (launch.job_group != 0) ::kill(-launch.job_group, SIGKILL);
  ::kill(-launch.child_pid, SIGKILL);
  ::kill(launch.child_pid, SIGKILL);
  reap_in_background({launch.child_pid}, {});
}

void TerminalChild::write_started() {
  const pid_t reported = launch.job_group != 0 ? launch.job_group : launch.child_pid;
  write_event(started_event(static_cast<std::uint32_t>(launch.backend_pid),
                            static_cast<std::uint32_t>(reported), launch.command, launch.run_id));
  flush_stdout();
}

void TerminalChild::check() {
  if (exited || !check_child) return;
  int status = 0;
  pid_t pid;
  do {
    pid = ::waitpid(launch.child_pid, &status, WNOHANG);
  } while (pid < 0 && errno == EINTR);
  if (pid == launch.child_pid) {
    exited = true;
    exit_code = pty_exit_code(status);
    exit_status = status;
  }
}

void TerminalChild::after_wait(const pollfd& watch_entry, bool timed_out) {
  if (timed_out) check_child = true;
  if (watch_entry.revents != 0) {
    exit_watch.clear();
    check_child = true;
  }
}

void TerminalChild::signal(const Request& request) {
  if (exited) return;
  const auto number = requested_signal(request.signal);
  if (!number) return;
  // A job's members share one process group; its leader is not in it.
  if (launch.job_group != 0) {
    ::kill(-launch.job_group, *number);
  } else {
    ::kill(launch.child_pid, *number);
  }
}

void TerminalChild::hang_up() {
  if (!exited) launch.master_fd.reset();
}

void TerminalChild::abandon(long long deadline_ms) {
  if (exited) return;
  // Nobody can see the command or type into it: it is ended rather than
  // left running unattended.
  const int status = end_abandoned_terminal(launch.master_fd, launch.child_pid, exit_watch,
                                            deadline_ms - loop_clock_ms());
  exit_code = pty_exit_code(status);
  exit_status = status;
  exited = true;
}

void TerminalChild::write_exit() {
  // The run's descriptors are gone by the time the front end sees "exit".
  launch.master_fd.reset();
  exit_watch.reset();
  write_exit_event(launch.run_id, static_cast<std::uint32_t>(exit_code), exit_status);
}

TerminalRun::TerminalRun(PtyLaunch launch_in, bool raw_output)
    : TerminalChild(std::move(launch_in)), events(launch.run_id, raw_output) {
  write_started();
  if (!launch.early_output.empty()) {
    events.write(launch.early_output.data(), launch.early_output.size());
    std::string().swap(launch.early_output);
  }
  set_nonblocking(launch.master_fd.get());
}

ZELTA_HOT void TerminalRun::prepare(RunWaits& waits) {
  if (done_) return;
  check();
  check_child = !exit_watch;
  // Input typed in the last cycle is usually answered within microseconds.
  const bool answer_due = input.written_this_cycle() && !paused;
  input.begin_cycle();
  // A hung-up terminal is watched for changes only (the command reopening
  // it and writing): waited on for its lasting state it would end every
  // wait at once. Where waits cannot watch changes it is looked at every
  // kHungUpCheckMs instead. A paused run's terminal is waited on only to
  // take typed input.
  const bool watch_changes = hung_up_ && !paused && waits.changes_only;
  read_limit_ = waits.read_limit;
  short master_events = (hung_up_ && !watch_changes) || paused ? 0 : POLLIN;
  if (!hung_up_ && has_pending_input()) master_events |= POLLOUT;
  const int master = launch.master_fd.get();
  waits.set(kMasterEntry, {master_events != 0 ? master : -1, master_events, 0}, watch_changes);
  waits.set(kExitEntry, {!exited && exit_watch ? exit_watch.fd() : -1, POLLIN, 0});
  // While the command runs, with an exit watch, every change the cycle acts
  // on wakes the wait, so an idle command costs the executor no wake-ups;
  // without a watch the child is asked about every kPollTimeoutMs. Once it
  // has ended, the terminal gets one last short wait for what is left (none
  // when it has hung up), and the end-of-cycle read decides.
  int timeout = exit_watch ? -1 : kPollTimeoutMs;
  if (hung_up_ && !paused && !watch_changes && timeout < 0) timeout = kHungUpCheckMs;
  if (exited) timeout = hung_up_ ? 0 : kPollTimeoutMs;
  // An ended run that is paused waits for "run.resume" before its drain.
  if (exited && paused) timeout = -1;
  waits.timeout_ms = timeout;
  waits.spin_us = answer_due ? kEchoSpinUs : 0;
}

ZELTA_HOT void TerminalRun::ready(const pollfd* entries, bool timed_out) {
  if (done_) return;
  after_wait(entries[kExitEntry], timed_out);
  const int master = launch.master_fd.get();
  const short master_revents = entries[kMasterEntry].revents;
  // A paused run reads nothing, so a terminal hung up meanwhile would wake
  // every wait: it is left alone until the resume, whose read tells.
  if (paused && (master_revents & (POLLHUP | POLLERR))) hung_up_ = true;
  if (!timed_out && entries[kMasterEntry].fd >= 0 && !paused &&
      (master_revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
    input.output_seen_empty();
  }
  char buffer[kOutputReadSize];
  if (!paused && (hung_up_ || (master_revents & (POLLIN | POLLHUP | POLLERR)))) {
    const std::size_t size =
        read_limit_ != 0 ? std::min(read_limit_, sizeof buffer) : sizeof buffer;
    ssize_t n = ::read(master, buffer, size);
    if (n > 0) {
      events.write(buffer, static_cast<std::size_t>(n));
      hung_up_ = false;  // someone holds the terminal again
    } else if (n == 0 || !is_transient(errno) || (master_revents & (POLLHUP | POLLERR))) {
      hung_up_ = true;
    }
  }
  if ((master_revents & POLLOUT) || (hung_up_ && has_pending_input())) write_pending_input();
  if (exited && !paused) {
    ssize_t n = ::read(master, buffer,
                       read_limit_ != 0 ? std::min(read_limit_, kDrainReadSize) : kDrainReadSize);
    if (n <= 0) {
      done_ = true;
      return;
    }
    events.write(buffer, static_cast<std::size_t>(n));
  }
}

void TerminalRun::control(const Request& request) {
  if (request.type == "stdin.write") {
    type_control_input(request, [this](std::string_view bytes) { type_input(bytes); });
  } else if (request.type == "run.signal") {
    signal(request);
  } else if (request.type == "stream.flush") {
    if (!paused) flush_terminal_output(launch.master_fd.get(), events, request.timeout_ms);
  } else if (request.type == "run.resize") {
    resize_terminal(launch.master_fd.get(), request.rows, request.cols);
  } else if (request.type == "run.pause") {
    set_paused(true);
  } else if (request.type == "run.resume") {
    set_paused(false);
  } else if (request.type == "run.foreground") {
    report_foreground(launch.master_fd.get(), launch.run_id);
  }
}

void TerminalRun::finish() {
  // A character still cut off when the output ends can never be completed.
  events.finish();
  write_exit();
}

std::unique_ptr<Run> make_terminal_run(PtyLaunch launch, bool raw_output) {
  if (launch.front_end_reads) return std::make_unique<FrontEndTerminalRun>(std::move(launch));
  return std::make_unique<TerminalRun>(std::move(launch), raw_output);
}

}  // namespace zelta
