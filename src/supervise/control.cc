#include "supervise/control.h"

#include <errno.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

#include "platform/foreground_process.h"
#include "platform/signal_names.h"
#include "protocol/extensions.h"
#include "protocol/output.h"

namespace zelta {
namespace {

constexpr std::chrono::milliseconds kDefaultFlushBudget{50};
constexpr std::uint64_t kMaxFlushBudgetMs = 3000;
constexpr std::size_t kFlushReadSize = 1024;

}  // namespace

std::chrono::milliseconds flush_budget(std::optional<std::uint64_t> timeout_ms) {
  if (!timeout_ms) return kDefaultFlushBudget;
  return std::chrono::milliseconds(std::min(*timeout_ms, kMaxFlushBudgetMs));
}

int control_signal(const std::optional<std::string>& name) {
  if (name == "KILL") return SIGKILL;
  if (name == "TERM") return SIGTERM;
  return SIGINT;
}

std::optional<int> requested_signal(const std::optional<std::string>& name) {
  if (!switched_on(Switch::kSignals)) return control_signal(name);
  if (!name) return SIGINT;
  return signal_from_name(*name);
}

void flush_terminal_output(int master, StdoutEvents& events,
                           std::optional<std::uint64_t> timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + flush_budget(timeout_ms);
  char buffer[kFlushReadSize];
  while (Clock::now() < deadline) {
    ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) return;
    events.write(buffer, static_cast<std::size_t>(n));
  }
}

void resize_terminal(int master, std::optional<std::uint16_t> rows,
                     std::optional<std::uint16_t> cols) {
  winsize size{};
  if (::ioctl(master, TIOCGWINSZ, &size) != 0) return;
  if (rows) size.ws_row = *rows;
  if (cols) size.ws_col = *cols;
  ::ioctl(master, TIOCSWINSZ, &size);
}

void report_foreground(int master, std::string_view run_id) {
  const ForegroundProcess process = foreground_process(master);
  std::optional<std::int64_t> pid;
  if (process.pid) pid = *process.pid;
  std::optional<std::string_view> name, cwd;
  if (process.name) name = *process.name;
  if (process.cwd) cwd = *process.cwd;
  write_event(foreground_event(run_id, pid, name, cwd));
  flush_stdout();
}

}  // namespace zelta
