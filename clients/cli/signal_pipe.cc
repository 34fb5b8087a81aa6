// The self-pipe behind the client's signal handling.
#include "clients/cli/signal_pipe.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/pipe.h"

namespace zelta::client {
namespace {

int g_read_end = -1;
int g_write_end = -1;

void on_signal(int signal_number) {
  const int saved_errno = errno;
  const auto byte = static_cast<unsigned char>(signal_number);
  // A full pipe already holds enough wake-ups; the byte can be lost.
  [[maybe_unused]] ssize_t ignored = ::write(g_write_end, &byte, 1);
  errno = saved_errno;
}

}  // namespace

bool install_signal_pipe() {
  int ends[2];
  if (make_pipe(ends, true) != 0) return false;
  g_read_end = ends[0];
  g_write_end = ends[1];
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    sigaction(signal_number, &action, nullptr);
  }
  // A window resize must not break off a blocking call the way an interruption may.
  action.sa_flags = SA_RESTART;
  sigaction(SIGWINCH, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  return true;
}

int signal_pipe_fd() { return g_read_end; }

std::vector<int> take_signals() {
  std::vector<int> signals;
  unsigned char bytes[64];
  while (true) {
    const ssize_t n = ::read(g_read_end, bytes, sizeof bytes);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    signals.insert(signals.end(), bytes, bytes + n);
  }
  return signals;
}

}  // namespace zelta::client
