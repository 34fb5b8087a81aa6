#include "supervise/control.h"

#include <errno.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/foreground_process.h"
#include "platform/hot_path.h"
#include "platform/signal_names.h"
#include "protocol/base64.h"
#include "protocol/extensions.h"
#include "protocol/output.h"
#include "protocol/request_decoder.h"
#include "protocol/utf8.h"
#include "supervise/run_input.h"

namespace zelta {
namespace {

constexpr std::chrono::milliseconds kDefaultFlushBudget{50};
constexpr std::uint64_t kMaxFlushBudgetMs = 3000;

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Decodes the well-formed character of `length` bytes at `p`.
char32_t decode_at(const unsigned char* p, int length) {
  if (length == 1) return p[0];
  char32_t c = p[0] & (0x7F >> length);
  for (int k = 1; k < length; ++k) c = (c << 6) | (p[k] & 0x3F);
  return c;
}

int sequence_length(unsigned char lead) {
  return lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
}

void flush_output(PtyRun& run, std::chrono::milliseconds budget) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + budget;
  char buffer[kDrainReadSize];
  while (Clock::now() < deadline) {
    ssize_t n = ::read(run.launch.master_fd.get(), buffer, sizeof buffer);
    if (n <= 0) return;
    run.events.write(buffer, static_cast<std::size_t>(n));
  }
}

// Sets the window size on the master; the kernel signals SIGWINCH to the
// terminal's foreground process group when the size actually changes.
void resize_terminal(int master, std::optional<std::uint16_t> rows,
                     std::optional<std::uint16_t> cols) {
  winsize size{};
  if (::ioctl(master, TIOCGWINSZ, &size) != 0) return;
  if (rows) size.ws_row = *rows;
  if (cols) size.ws_col = *cols;
  ::ioctl(master, TIOCSWINSZ, &size);
}

// Writes the "foreground" event: who leads the terminal's foreground group.
void report_foreground(PtyRun& run) {
  const ForegroundProcess process = foreground_process(run.launch.master_fd.get());
  std::optional<std::int64_t> pid;
  if (process.pid) pid = *process.pid;
  std::optional<std::string_view> name, cwd;
  if (process.name) name = *process.name;
  if (process.cwd) cwd = *process.cwd;
  write_event(foreground_event(run.launch.run_id, pid, name, cwd));
  flush_stdout();
}

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

std::string_view trim_white_space(std::string_view text) {
  auto bytes = [&] { return reinterpret_cast<const unsigned char*>(text.data()); };
  while (!text.empty()) {
    int length = sequence_length(bytes()[0]);
    if (static_cast<std::size_t>(length) > text.size() ||
        !is_white_space(decode_at(bytes(), length))) {
      break;
    }
    text.remove_prefix(static_cast<std::size_t>(length));
  }
  while (!text.empty()) {
    std::size_t start = text.size() - 1;
    while (start > 0 && (bytes()[start] & 0xC0) == 0x80) --start;
    int length = static_cast<int>(text.size() - start);
    if (length != sequence_length(bytes()[start]) ||
        !is_white_space(decode_at(bytes() + start, length))) {
      break;
    }
    text.remove_suffix(static_cast<std::size_t>(length));
  }
  return text;
}

ZELTA_HOT void serve_control_input(PtyRun& run) {
  struct Dispatch {
    PtyRun& run;
    void operator()(const Request& request) const { dispatch_control(run, request); }
    void operator()(const KeystrokeLine& keys) const { run.type_input(keys.data); }
  };
  serve_run_lines(run.control_buffer, run.control_scanned, run.launch.run_id, Dispatch{run});
}

void dispatch_control(PtyRun& run, const Request& request) {
  if (request.type == "stdin.write") {
    if (request.base64) {
      if (auto bytes = decode_base64(*request.base64)) run.type_input(*bytes);
    } else if (request.data) {
      run.type_input(*request.data);
    }
  } else if (request.type == "run.signal") {
    if (run.exited) return;
    const auto number = requested_signal(request.signal);
    if (!number) return;
    // A job's members share one process group; its leader is not in it.
    if (run.launch.job_group != 0) {
      ::kill(-run.launch.job_group, *number);
    } else {
      ::kill(run.launch.child_pid, *number);
    }
  } else if (request.type == "stream.flush") {
    // A terminal the front end reads itself has nothing here to flush.
    if (!run.paused && !run.launch.front_end_reads)
      flush_output(run, flush_budget(request.timeout_ms));
  } else if (request.type == "run.resize") {
    resize_terminal(run.launch.master_fd.get(), request.rows, request.cols);
  } else if (request.type == "run.pause") {
    run.set_paused(true);
  } else if (request.type == "run.resume") {
    run.set_paused(false);
  } else if (request.type == "run.foreground") {
    report_foreground(run);
  }
}

}  // namespace zelta
