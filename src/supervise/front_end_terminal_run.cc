#include "supervise/front_end_terminal_run.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>

#include <algorithm>

#include "supervise/control.h"

namespace zelta {
namespace {

constexpr std::size_t kMasterEntry = 0;
constexpr std::size_t kExitEntry = 1;

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

FrontEndTerminalRun::FrontEndTerminalRun(PtyLaunch launch_in)
    : TerminalChild(std::move(launch_in)), no_events_(launch.run_id) {
  write_started();
  const int master = launch.master_fd.get();
  const int flags = ::fcntl(master, F_GETFL);
  if (flags != -1) ::fcntl(master, F_SETFL, flags | O_NONBLOCK);
  // The output is the front end's: typed input never reads it first.
  input_.pause_output(true);
}

void FrontEndTerminalRun::type(std::string_view data) {
  input_.type(launch.master_fd.get(), no_events_, data);
}

void FrontEndTerminalRun::prepare(RunWaits& waits) {
  if (done_) return;
  check();
  check_child = !exit_watch;
  const int master = launch.master_fd.get();
  // "exit" waits until the front end has read what the command left there,
  // unless it has closed the executor's input.
  if (exited && (!input_open_ || !holds_unread_output(master))) {
    done_ = true;
    return;
  }
  input_.begin_cycle();
  const short master_events = !hung_up_ && input_.pending() ? POLLOUT : 0;
  waits.set(kMasterEntry, {master_events != 0 ? master : -1, master_events, 0});
  waits.set(kExitEntry, {!exited && exit_watch ? exit_watch.fd() : -1, POLLIN, 0});
  int timeout = exit_watch ? -1 : kPollTimeoutMs;
  if (exited) {
    timeout = unread_check_ms_;
    unread_check_ms_ = std::min(2 * unread_check_ms_, kUnreadOutputLastCheckMs);
  }
  waits.timeout_ms = timeout;
}

void FrontEndTerminalRun::ready(const pollfd* entries, bool timed_out) {
  if (done_) return;
  after_wait(entries[kExitEntry], timed_out);
  const short master_revents = entries[kMasterEntry].revents;
  if (master_revents & (POLLHUP | POLLERR)) hung_up_ = true;
  if ((master_revents & POLLOUT) || (hung_up_ && input_.pending())) {
    input_.feed(launch.master_fd.get(), no_events_);
  }
}

void FrontEndTerminalRun::control(const Request& request) {
  if (request.type == "stdin.write") {
    type_control_input(request, [this](std::string_view bytes) { type(bytes); });
  } else if (request.type == "run.signal") {
    signal(request);
  } else if (request.type == "run.resize") {
    resize_terminal(launch.master_fd.get(), request.rows, request.cols);
  } else if (request.type == "run.foreground") {
    report_foreground(launch.master_fd.get(), launch.run_id);
  }
  // A terminal the front end reads has no output here to flush, pause or
  // resume.
}

}  // namespace zelta
