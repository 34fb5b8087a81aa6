#include "launch/pty_launch.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "launch/child_start.h"
#include "launch/exec_plan.h"
#include "launch/launch_trace.h"
#include "platform/close_descriptors.h"
#include "platform/signal_dispositions.h"
#include "platform/terminal_peer.h"

namespace zelta {

Result<UniqueFd> adopt_front_end_master(int fd) {
  const int flags = fd > 2 ? ::fcntl(fd, F_GETFD) : -1;
  const bool handed_down = flags != -1 && (flags & FD_CLOEXEC) == 0;
  if (!handed_down || ::grantpt(fd) != 0 || ::unlockpt(fd) != 0 ||
      ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) != 0) {
    return fail("Invalid terminal_fd");
  }
  return UniqueFd(fd);
}

Result<Terminal> open_terminal(const winsize& size, UniqueFd given_master) {
  Terminal terminal;
  if (given_master) {
    terminal.master = std::move(given_master);
  } else {
    terminal.master.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!terminal.master) return fail("posix_openpt");
    if (::grantpt(terminal.master.get()) != 0 || ::unlockpt(terminal.master.get()) != 0) {
      return fail("unlockpt");
    }
  }
  terminal.slave = open_terminal_peer(terminal.master.get());
  if (!terminal.slave) return fail("open slave");
  if (::ioctl(terminal.master.get(), TIOCSWINSZ, &size) != 0) return fail("window size");
#ifdef IUTF8
  // Everything on the terminal is UTF-8, so line editing must erase whole
  // characters, as a terminal emulator set up for UTF-8 does.
  termios modes = {};
  if (::tcgetattr(terminal.slave.get(), &modes) == 0 && (modes.c_iflag & IUTF8) == 0) {
    modes.c_iflag |= IUTF8;
    if (::tcsetattr(terminal.slave.get(), TCSANOW, &modes) != 0) return fail("terminal modes");
  }
#endif
  return terminal;
}

Result<PtyLaunch> launch_pty(const LaunchForm& form, LaunchMethod method) {
  if (form.commands.size() != 1) return fail("Missing command");
  const LaunchCommand& command = form.commands.front();
  trace_launch(command.name, command.args, command.redirects);
  UniqueFd given_master;
  if (form.kind == LaunchKind::kFrontEndTerminalCommand) {
    auto adopted = adopt_front_end_master(form.terminal_fd);
    if (!adopted) return fail(std::move(adopted).error());
    given_master = std::move(adopted).value();
  }

  // Everything the child reads is prepared before it exists.
  prepare_child_error_texts();
  int reset_signals[NSIG];
  const std::size_t reset_count = signals_not_at_default(reset_signals);
  const auto plan = build_exec_plan(command, form, reset_signals, reset_count);

  winsize size = {};
  size.ws_row = form.rows;
  size.ws_col = form.cols;
  const bool front_end_reads = static_cast<bool>(given_master);
  auto terminal = open_terminal(size, std::move(given_master));
  if (!terminal) return fail("forkpty failed");
  plan->exec.slave_fd = terminal->slave.get();
  plan->exec.descriptor_bound = find_descriptor_bound();
  auto child = start_child(plan->exec, method);
  if (!child) return fail("forkpty failed");

  PtyLaunch launch;
  launch.child_pid = child->pid;
  launch.pidfd = std::move(child->pidfd);
  launch.method = child->method;
  launch.master_fd = std::move(terminal->master);
  launch.backend_pid = ::getpid();
  launch.run_id = form.run_id;
  launch.command = command.name;
  launch.front_end_reads = front_end_reads;
  return launch;
}

}  // namespace zelta
