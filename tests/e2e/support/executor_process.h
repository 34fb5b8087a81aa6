// Test harness: the built stdio_executor as a child process driven over pipes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelta::testing {

using namespace std::chrono_literals;

/// Generous default wait for one expected line: tests never depend on speed.
inline constexpr std::chrono::milliseconds kLineTimeout = 20s;

/// Options for starting the executor.
struct ExecutorOptions {
  /// "NAME=VALUE" entries added to (or replacing in) the test's environment.
  std::vector<std::string> env;
  /// Names removed from the environment.
  std::vector<std::string> unset;
  /// Working directory of the executor; empty keeps the test's.
  std::string cwd;
  /// Path of the executable; empty means the built stdio_executor.
  std::string executable;
  /// Start the executor with SIGINT ignored, as a front end that shields it
  /// from the user's Ctrl-C does.
  bool ignore_interrupt = false;
  /// Signals ignored, and signals blocked, when the executor starts, as a
  /// front end may pass them on.
  std::vector<int> ignored_signals;
  std::vector<int> blocked_signals;
  /// A command line run in front of the executable, which it must exec with
  /// the remaining arguments (for example one that changes the user); empty
  /// starts the executable directly.
  std::vector<std::string> wrapper;
  /// Descriptors of the test handed down as the executor's 3, 4, ...
  std::vector<int> handed_down;
};

/// One running executor with its stdin, stdout and stderr on pipes. The
/// destructor closes stdin, kills the process if it has not exited and reaps
/// it, so a failing test leaves nothing behind.
class ExecutorProcess {
 public:
  explicit ExecutorProcess(ExecutorOptions options = {});
  ~ExecutorProcess();
  ExecutorProcess(const ExecutorProcess&) = delete;
  ExecutorProcess& operator=(const ExecutorProcess&) = delete;

  pid_t pid() const { return pid_; }

  /// Writes raw bytes to the executor's stdin in one write call (or as few
  /// as the pipe allows).
  void send(std::string_view bytes);
  /// Writes `line` followed by a line feed.
  void send_line(std::string_view line);
  /// Closes the executor's stdin (end of input).
  void close_stdin();
  /// Closes the test's read end of the executor's stdout.
  void close_stdout();

  /// The next output line without its line feed, or nullopt when none
  /// arrives within `timeout` or stdout reached end of file.
  std::optional<std::string> read_line(std::chrono::milliseconds timeout = kLineTimeout);
  /// As read_line, but records a test failure and returns "" when no line.
  std::string next_line(std::chrono::milliseconds timeout = kLineTimeout);
  /// Reads lines until one contains `needle` (inclusive); all lines read are
  /// returned. Records a failure if the time runs out.
  std::vector<std::string> read_until(std::string_view needle,
                                      std::chrono::milliseconds timeout = kLineTimeout);
  /// Makes later reads of stdout those of a front end that renders slowly:
  /// at most `chunk` bytes per read, each followed by a pause of `pause`.
  void read_slowly(std::size_t chunk, std::chrono::milliseconds pause) {
    read_chunk_ = chunk;
    read_pause_ = pause;
  }
  /// True when no output byte arrives within `wait`.
  bool quiet_for(std::chrono::milliseconds wait);
  /// True when stdout reaches end of file within `timeout` with no further byte.
  bool stdout_closed(std::chrono::milliseconds timeout = kLineTimeout);

  /// Everything written to the executor's stderr so far.
  std::string stderr_text();

  /// Waits for the process to end: its exit status, or 128 + signal number
  /// when killed; nullopt on time-out.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout = kLineTimeout);
  bool exited() const { return exited_; }

  /// Targets of the executor's open descriptors (readlink of /proc/PID/fd/N),
  /// indexed by descriptor number in ascending order as "N -> target".
  std::vector<std::string> open_fds() const;
  /// Process ids whose parent is the executor (zombies included).
  std::vector<pid_t> children() const;
  /// State letter of /proc/PID/stat for process `pid` ('Z' for a zombie), or
  /// 0 if it does not exist.
  static char process_state(pid_t pid);
  /// CPU time (user + system) the executor has used, in clock ticks.
  long cpu_ticks() const;
  /// How often the executor's main thread has gone to sleep voluntarily
  /// (blocked in a system call); a busy-waiting loop makes it climb.
  long voluntary_switches() const;

 private:
  void pump_stderr();
  // Appends one line to the protocol capture file, if one is open.
  void capture(const char* direction, std::string_view line);

  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  int stderr_fd_ = -1;
  int capture_fd_ = -1;
  std::string capture_tag_;
  std::string unsent_line_;  // sent bytes after the last line feed (captured)
  std::string out_buffer_;
  std::string err_buffer_;
  bool stdout_eof_ = false;
  std::size_t read_chunk_ = 65536;
  std::chrono::milliseconds read_pause_{0};
  bool exited_ = false;
  int exit_status_ = 0;
};

/// `text` as a quoted JSON string.
std::string json_quote(std::string_view text);

/// Polls `condition` every 10 ms until it holds or `timeout` passes.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = kLineTimeout);

}  // namespace zelta::testing
