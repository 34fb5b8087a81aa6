#include "executor_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

extern char** environ;

namespace zelta::testing {
namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

ExecutorProcess::ExecutorProcess(ExecutorOptions options) {
  // A test that writes to an executor that has already gone must see EPIPE
  // and report it, not be killed by SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2: " << std::strerror(errno);
    return;
  }
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('='));
    bool drop = false;
    for (const auto& u : options.unset) drop |= (u == name);
    for (const auto& o : options.env) drop |= (o.substr(0, o.find('=')) == name);
    if (!drop) env_strings.push_back(entry);
  }
  for (const auto& o : options.env) env_strings.push_back(o);
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);

  std::string exe = options.executable.empty() ? ZELTA_EXECUTOR_PATH : options.executable;
  std::vector<std::string> words = options.wrapper;
  words.push_back(exe);
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  // Copies far above the numbers they go to, so no copy overwrites another.
  std::vector<int> high;
  for (std::size_t i = 0; i < options.handed_down.size(); ++i) {
    high.push_back(::fcntl(options.handed_down[i], F_DUPFD_CLOEXEC, 200));
    posix_spawn_file_actions_adddup2(&actions, high.back(), 3 + static_cast<int>(i));
  }
  if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  if (!options.ignore_interrupt) sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigset_t mask;
  sigemptyset(&mask);
  for (int signal_number : options.blocked_signals) sigaddset(&mask, signal_number);
  std::vector<int> ignored = options.ignored_signals;
  if (options.ignore_interrupt) ignored.push_back(SIGINT);
  for (int signal_number : ignored) sigdelset(&defaults, signal_number);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &mask);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  // An ignored disposition is inherited through the spawn.
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  std::vector<struct sigaction> previous(ignored.size());
  for (std::size_t i = 0; i < ignored.size(); ++i) sigaction(ignored[i], &ignore, &previous[i]);
  int rc = posix_spawnp(&pid_, argv[0], &actions, &attr, argv.data(), envp.data());
  for (std::size_t i = ignored.size(); i-- > 0;) sigaction(ignored[i], &previous[i], nullptr);
  posix_spawn_file_actions_destroy(&actions);
  for (int fd : high) ::close(fd);
  posix_spawnattr_destroy(&attr);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  stdin_fd_ = in[1];
  stdout_fd_ = out[0];
  stderr_fd_ = err[0];
  fcntl(stderr_fd_, F_SETFL, O_NONBLOCK);
  if (rc != 0) {
    pid_ = -1;
    ADD_FAILURE() << "posix_spawn " << exe << ": " << std::strerror(rc);
  }
  // The protocol schema check reads every line of every run of the real
  // executor from this file (several test processes append to it at once).
  const char* capture_path = std::getenv("ZELTA_PROTOCOL_CAPTURE");
  if (rc == 0 && options.executable.empty() && capture_path != nullptr && *capture_path != 0) {
    capture_fd_ = open(capture_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    capture_tag_ = std::to_string(getpid()) + "." + std::to_string(pid_) + " ";
  }
}

void ExecutorProcess::capture(const char* direction, std::string_view line) {
  if (capture_fd_ < 0) return;
  // Lines beyond this size are recorded by length only: they exist to stress
  // buffers, and copying them would only slow the suite down.
  constexpr std::size_t kMaxCaptured = 16 << 20;
  std::string entry = capture_tag_ + direction;
  if (line.size() > kMaxCaptured) {
    entry += "! " + std::to_string(line.size());
  } else {
    entry += ' ';
    entry += line;
  }
  entry += '\n';
  std::string_view rest = entry;
  while (!rest.empty()) {
    const ssize_t n = write(capture_fd_, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
}

ExecutorProcess::~ExecutorProcess() {
  close_stdin();
  if (pid_ > 0 && !exited_) {
    if (!wait_exit(5s)) {
      kill(pid_, SIGKILL);
      wait_exit(20s);
    }
  }
  if (stdout_fd_ >= 0) close(stdout_fd_);
  if (stderr_fd_ >= 0) close(stderr_fd_);
  if (capture_fd_ >= 0) close(capture_fd_);
}

void ExecutorProcess::send(std::string_view bytes) {
  if (capture_fd_ >= 0) {
    unsent_line_.append(bytes);
    std::size_t start = 0;
    for (std::size_t end; (end = unsent_line_.find('\n', start)) != std::string::npos;
         start = end + 1) {
      capture(">", std::string_view(unsent_line_).substr(start, end - start));
    }
    unsent_line_.erase(0, start);
  }
  while (!bytes.empty()) {
    ssize_t n = write(stdin_fd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ADD_FAILURE() << "write to executor stdin: " << std::strerror(errno);
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void ExecutorProcess::send_line(std::string_view line) {
  std::string bytes(line);
  bytes += '\n';
  send(bytes);
}

void ExecutorProcess::close_stdin() {
  // The executor serves bytes after the last line feed as a last line.
  if (stdin_fd_ >= 0 && !unsent_line_.empty()) capture(">", unsent_line_);
  unsent_line_.clear();
  if (stdin_fd_ >= 0) close(stdin_fd_);
  stdin_fd_ = -1;
}

void ExecutorProcess::close_stdout() {
  if (stdout_fd_ >= 0) close(stdout_fd_);
  stdout_fd_ = -1;
  stdout_eof_ = true;
}

std::optional<std::string> ExecutorProcess::read_line(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::size_t scanned = 0;  // bytes already known to hold no line feed
  while (true) {
    auto newline = out_buffer_.find('\n', scanned);
    scanned = out_buffer_.size();
    if (newline != std::string::npos) {
      std::string line = out_buffer_.substr(0, newline);
      out_buffer_.erase(0, newline + 1);
      capture("<", line);
      return line;
    }
    if (stdout_eof_) return std::nullopt;
    pollfd pfd{stdout_fd_, POLLIN, 0};
    int ready = poll(&pfd, 1, remaining_ms(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    char buffer[65536];
    ssize_t n = read(stdout_fd_, buffer, std::min(sizeof buffer, read_chunk_));
    if (read_pause_.count() > 0) std::this_thread::sleep_for(read_pause_);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      stdout_eof_ = true;
      continue;
    }
    out_buffer_.append(buffer, static_cast<std::size_t>(n));
    pump_stderr();
  }
}

std::string ExecutorProcess::next_line(std::chrono::milliseconds timeout) {
  auto line = read_line(timeout);
  if (!line) {
    ADD_FAILURE() << "no output line within " << timeout.count() << " ms";
    return "";
  }
  return *line;
}

std::vector<std::string> ExecutorProcess::read_until(std::string_view needle,
                                                     std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::vector<std::string> lines;
  while (true) {
    auto line = read_line(std::chrono::milliseconds(remaining_ms(deadline)));
    if (!line) {
      ADD_FAILURE() << "no line containing " << needle << " within " << timeout.count() << " ms";
      return lines;
    }
    lines.push_back(*line);
    if (line->find(needle) != std::string::npos) return lines;
  }
}

bool ExecutorProcess::quiet_for(std::chrono::milliseconds wait) {
  if (!out_buffer_.empty()) return false;
  pollfd pfd{stdout_fd_, POLLIN, 0};
  int ready = poll(&pfd, 1, static_cast<int>(wait.count()));
  if (ready <= 0) return true;
  char byte;
  ssize_t n = read(stdout_fd_, &byte, 1);
  if (n == 1) {
    out_buffer_.push_back(byte);
    return false;
  }
  stdout_eof_ = true;
  return true;
}

bool ExecutorProcess::stdout_closed(std::chrono::milliseconds timeout) {
  auto line = read_line(timeout);
  if (line) {
    ADD_FAILURE() << "unexpected output line: " << *line;
    return false;
  }
  return stdout_eof_ && out_buffer_.empty();
}

void ExecutorProcess::pump_stderr() {
  char buffer[4096];
  while (stderr_fd_ >= 0) {
    ssize_t n = read(stderr_fd_, buffer, sizeof buffer);
    if (n <= 0) break;
    err_buffer_.append(buffer, static_cast<std::size_t>(n));
  }
}

std::string ExecutorProcess::stderr_text() {
  pump_stderr();
  return err_buffer_;
}

std::optional<int> ExecutorProcess::wait_exit(std::chrono::milliseconds timeout) {
  if (exited_) return exit_status_;
  if (pid_ <= 0) return std::nullopt;
  const auto deadline = Clock::now() + timeout;
  while (true) {
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      exited_ = true;
      exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      pump_stderr();
      return exit_status_;
    }
    if (r < 0 && errno != EINTR) return std::nullopt;
    if (Clock::now() >= deadline) return std::nullopt;
    pump_stderr();
    std::this_thread::sleep_for(5ms);
  }
}

std::vector<std::string> ExecutorProcess::open_fds() const {
  std::vector<std::pair<int, std::string>> fds;
  std::string dir = "/proc/" + std::to_string(pid_) + "/fd";
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* entry = readdir(d)) {
      if (entry->d_name[0] == '.') continue;
      char target[4096];
      std::string link = dir + "/" + entry->d_name;
      ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
      std::string text = n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "?";
      fds.emplace_back(std::atoi(entry->d_name), text);
    }
    closedir(d);
  }
  std::sort(fds.begin(), fds.end());
  std::vector<std::string> result;
  for (auto& [fd, target] : fds) result.push_back(std::to_string(fd) + " -> " + target);
  return result;
}

std::vector<pid_t> ExecutorProcess::children() const {
  std::vector<pid_t> result;
  std::ifstream file("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) +
                     "/children");
  pid_t child;
  while (file >> child) result.push_back(child);
  return result;
}

char ExecutorProcess::process_state(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  auto close_paren = content.rfind(')');
  if (close_paren == std::string::npos || close_paren + 2 >= content.size()) return 0;
  return content[close_paren + 2];
}

long ExecutorProcess::cpu_ticks() const {
  std::ifstream file("/proc/" + std::to_string(pid_) + "/stat");
  std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  auto close_paren = content.rfind(')');
  if (close_paren == std::string::npos) return -1;
  std::istringstream fields(content.substr(close_paren + 2));
  std::string field;
  long utime = 0, stime = 0;
  // Fields after the command: state is field 3; utime 14 and stime 15.
  for (int index = 3; index <= 15 && (fields >> field); ++index) {
    if (index == 14) utime = std::stol(field);
    if (index == 15) stime = std::stol(field);
  }
  return utime + stime;
}

long ExecutorProcess::voluntary_switches() const {
  std::ifstream file("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
  }
  return -1;
}

std::string json_quote(std::string_view text) { return nlohmann::json(std::string(text)).dump(); }

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    if (condition()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
}

}  // namespace zelta::testing
