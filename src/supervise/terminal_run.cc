#include "supervise/pty_run.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "platform/child_exit_watch.h"
#include "platform/hot_path.h"
#include "platform/poller.h"
#include "protocol/output.h"
#include "supervise/chunk_decoder.h"
#include "supervise/control.h"
#include "supervise/exit_report.h"
#include "supervise/front_end_watch.h"
#include "supervise/run_input.h"

namespace zelta {
namespace {

void set_nonblocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags != -1) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

void reap(PtyRun& run) {
  int status = 0;
  pid_t pid;
  do {
    pid = ::waitpid(run.launch.child_pid, &status, WNOHANG);
  } while (pid < 0 && errno == EINTR);
  if (pid == run.launch.child_pid) {
    run.exited = true;
    run.exit_code = pty_exit_code(status);
    run.exit_status = status;
  }
}

bool is_transient(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

// Whether the terminal holds output not read yet. The terminal's poll moves
// what the command wrote into what can be read before it answers.
bool holds_unread_output(int master) {
  pollfd entry = {master, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&entry, 1, 0);
  } while (ready < 0 && errno == EINTR);
  return ready > 0 && (entry.revents & POLLIN) != 0;
}

}  // namespace

PtyRun::PtyRun(PtyLaunch launch_in, int input_fd_in, bool raw_output)
    : launch(std::move(launch_in)), input_fd(input_fd_in), events(launch.run_id, raw_output) {}

ZELTA_HOT void supervise_pty_run(PtyLaunch launch, int input_fd, bool raw_output) {
  PtyRun run(std::move(launch), input_fd, raw_output);
  const int master = run.launch.master_fd.get();
  // A job on the terminal is known to the front end by its members' group.
  const pid_t reported = run.launch.job_group != 0 ? run.launch.job_group : run.launch.child_pid;
  write_event(started_event(static_cast<std::uint32_t>(run.launch.backend_pid),
                            static_cast<std::uint32_t>(reported), run.launch.command,
                            run.launch.run_id));
  flush_stdout();
  if (!run.launch.early_output.empty()) {
    run.events.write(run.launch.early_output.data(), run.launch.early_output.size());
    std::string().swap(run.launch.early_output);
  }
  set_nonblocking(master);
  // Output and typed input of a terminal the front end opened are its own.
  const bool reads_master = !run.launch.front_end_reads;
  int unread_check_ms = kUnreadOutputFirstCheckMs;
  // The control input stays as it is: its open file description is shared
  // with whoever started the executor (a shell's terminal, say), which a
  // non-blocking flag left behind would break. It is read only when a wait
  // has found it readable.

  // Readable when the child ends, so that a cycle whose terminal has hung up
  // can sleep until then instead of spinning; without one the cycle times out.
  // The clone path hands over a process descriptor from the child's creation.
  ChildExitWatch exit_watch = run.launch.pidfd ? ChildExitWatch::adopt(std::move(run.launch.pidfd))
                                               : ChildExitWatch::watch(run.launch.child_pid);
  bool input_open = true;
  // Set once the terminal reports a hang-up without data (no process holds
  // the slave side): poll would then return at once in every cycle, so the
  // master is only read once per cycle and watched for changes only.
  bool hung_up = false;
  // Asking about the child costs a system call; it is done only when the
  // exit watch has fired, when there is no watch, after a poll that timed out
  // or failed, and once before the first wait (an exit before the watch was
  // made may not wake it).
  bool check_child = true;
  // The same four descriptors are waited on in every cycle: registered once,
  // a wait costs no more than one on fewer descriptors.
  Poller poller;
  // The output as watched for changes (a front end that shuts down only its
  // reading side of a socket shows in no other way); where waits cannot
  // watch changes, the plain entry.
  const pollfd front_end_changes = front_end_change_entry();
  char buffer[kOutputReadSize];
  char control[kControlReadSize];

  while (true) {
    // Once the front end has closed the output stream nobody can see the
    // command or type into it: end it rather than leave it running
    // unattended.
    if (output_broken()) {
      if (!run.exited) {
        const int status =
            end_abandoned_terminal(run.launch.master_fd, run.launch.child_pid, exit_watch);
        run.exit_code = pty_exit_code(status);
        run.exit_status = status;
        run.exited = true;
      }
      break;
    }
    if (!run.exited && check_child) reap(run);
    check_child = !exit_watch;
    // The front end reads its terminal itself: "exit" waits until it has read
    // what the command left there, unless it has closed the control input.
    if (run.exited && !reads_master && (!input_open || !holds_unread_output(master))) break;
    // Input typed in the last cycle is usually answered within microseconds.
    // Not on a terminal the front end reads: the answer goes to the front end.
    const bool answer_due = run.input.written_this_cycle() && reads_master && !run.paused;
    run.input.begin_cycle();

    pollfd fds[4];
    // A hung-up terminal is watched for changes only (the command reopening
    // it and writing): waited on for its lasting state it would end every
    // wait at once. Where waits cannot watch changes it is looked at every
    // kHungUpCheckMs instead. A paused run's terminal is waited on only to
    // take typed input.
    const bool watch_changes = hung_up && !run.paused && poller.registered();
    poller.set_edge_triggered(0, watch_changes);
    short master_events = !reads_master || (hung_up && !watch_changes) || run.paused ? 0 : POLLIN;
    if (!hung_up && run.has_pending_input()) master_events |= POLLOUT;
    fds[0] = {master_events != 0 ? master : -1, master_events, 0};
    fds[1] = {input_open ? input_fd : -1, POLLIN, 0};
    fds[2] = {!run.exited && exit_watch ? exit_watch.fd() : -1, POLLIN, 0};
    // While the command runs, with an exit watch, every change the cycle acts
    // on wakes the poll, so an idle command costs the executor no wake-ups;
    // without a watch the child is asked about every kPollTimeoutMs. Once it
    // has ended, the terminal gets one last short wait for what is left (none
    // when it has hung up), and the end-of-cycle read decides.
    int timeout = exit_watch ? -1 : kPollTimeoutMs;
    if (hung_up && !run.paused && !watch_changes && timeout < 0) timeout = kHungUpCheckMs;
    if (run.exited) timeout = hung_up ? 0 : kPollTimeoutMs;
    // An ended run that is paused waits for "run.resume" before its drain.
    if (run.exited && run.paused) timeout = -1;
    if (run.exited && !reads_master) {
      timeout = unread_check_ms;
      unread_check_ms = std::min(2 * unread_check_ms, kUnreadOutputLastCheckMs);
    }
    // Watched even while the command is silent, so a front end that has
    // gone is noticed without waiting for a write to fail.
    const bool watch_front_end = poller.registered();
    poller.set_edge_triggered(3, watch_front_end);
    fds[3] = watch_front_end ? front_end_changes : front_end_poll_entry();
    const int ready = poller.poll_expecting(fds, 4, timeout, answer_due ? kEchoSpinUs : 0);
    if (ready < 0) fds[0].revents = fds[1].revents = fds[2].revents = fds[3].revents = 0;
    if (ready <= 0) check_child = true;
    if (fds[2].revents != 0) {
      exit_watch.clear();
      check_child = true;
    }
    if (front_end_gone(fds[3])) continue;

    const short master_revents = fds[0].revents;
    // A paused run reads nothing, so a terminal hung up meanwhile would wake
    // every wait: it is left alone until the resume, whose read tells.
    // So is one the executor does not read (waited on for typed input only).
    if ((run.paused || !reads_master) && (master_revents & (POLLHUP | POLLERR))) hung_up = true;
    if (ready > 0 && fds[0].fd >= 0 && reads_master && !run.paused &&
        (master_revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
      run.input.output_seen_empty();
    }
    if (reads_master && !run.paused &&
        (hung_up || (master_revents & (POLLIN | POLLHUP | POLLERR)))) {
      ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n > 0) {
        run.events.write(buffer, static_cast<std::size_t>(n));
        hung_up = false;  // someone holds the terminal again
      } else if (n == 0 || !is_transient(errno) || (master_revents & (POLLHUP | POLLERR))) {
        hung_up = true;
      }
    }
    if ((master_revents & POLLOUT) || (hung_up && run.has_pending_input())) {
      run.write_pending_input();
    }

    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t n = ::read(input_fd, control, sizeof control);
      if (n > 0) {
        run.control_buffer.append(control, static_cast<std::size_t>(n));
        serve_control_input(run);
      } else if (n == 0 || !is_transient(errno)) {
        input_open = false;     // end of input: stop polling it
        run.set_paused(false);  // nobody is left to resume the run
      }
    }

    if (run.exited && reads_master && !run.paused) {
      ssize_t n = ::read(master, buffer, kDrainReadSize);
      if (n <= 0) break;
      run.events.write(buffer, static_cast<std::size_t>(n));
    }
  }

  // A character still cut off when the output ends can never be completed.
  run.events.finish();
  // The start of a line not yet complete is the service loop's: what follows
  // in the input completes it.
  carry_input(run.control_buffer);
  // The run's descriptors are gone by the time the front end sees "exit".
  poller.reset();
  run.launch.master_fd.reset();
  exit_watch.reset();
  write_exit_event(run.launch.run_id, static_cast<std::uint32_t>(run.exit_code), run.exit_status);
}

}  // namespace zelta
