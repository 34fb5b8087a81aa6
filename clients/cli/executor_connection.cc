// Starting the executor, queueing lines to it and cutting its output into lines.
#include "clients/cli/executor_connection.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "clients/cli/diagnostics.h"
#include "clients/cli/requests.h"
#include "platform/executable_path.h"
#include "platform/pipe.h"

extern char** environ;

namespace zelta::client {

std::string locate_executor(const std::string& flag, const char* argv0) {
  if (!flag.empty()) return flag;
  const char* variable = std::getenv("ZELTA_STDIO_EXECUTOR");
  if (variable != nullptr && *variable != '\0') return variable;
  const std::string path = executable_path(argv0);
  if (path.empty()) return "stdio_executor";
  return path.substr(0, path.rfind('/') + 1) + "stdio_executor";
}

Result<std::unique_ptr<ExecutorConnection>> ExecutorConnection::start(const std::string& path,
                                                                      bool trace) {
  int to_executor[2];
  int from_executor[2];
  if (const int error = make_pipe(to_executor); error != 0) return fail(std::strerror(error));
  UniqueFd to_read(to_executor[0]), to_write(to_executor[1]);
  if (const int error = make_pipe(from_executor); error != 0) return fail(std::strerror(error));
  UniqueFd from_read(from_executor[0]), from_write(from_executor[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, to_read.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, from_write.get(), STDOUT_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t defaults, empty;
  sigemptyset(&empty);
  sigemptyset(&defaults);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) sigaddset(&defaults, s);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &empty);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  std::string program = path;
  char* argv[] = {program.data(), nullptr};
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) return fail("cannot start the executor " + path + ": " + std::strerror(rc));

  std::unique_ptr<ExecutorConnection> connection(new ExecutorConnection());
  connection->pid_ = pid;
  connection->trace_ = trace;
  connection->input_ = std::move(to_write);
  connection->output_ = std::move(from_read);
  // Non-blocking input: a full pipe must never stop the client from reading output.
  fcntl(connection->input_.get(), F_SETFL, fcntl(connection->input_.get(), F_GETFL) | O_NONBLOCK);
  return connection;
}

ExecutorConnection::~ExecutorConnection() {
  input_.reset();
  output_.reset();
  if (pid_ <= 0) return;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (true) {
    const pid_t done = ::waitpid(pid_, nullptr, WNOHANG);
    if (done == pid_ || (done < 0 && errno != EINTR)) return;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ::kill(-pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

void ExecutorConnection::send(const Json& message) {
  std::string line = encode_line(message);
  if (trace_) print_trace(true, line);
  if (outgoing_sent_ == outgoing_.size()) {
    outgoing_.clear();
    outgoing_sent_ = 0;
  }
  outgoing_ += line;
  outgoing_ += '\n';
  flush();
}

bool ExecutorConnection::flush() {
  while (outgoing_sent_ < outgoing_.size()) {
    if (!input_) return false;
    const ssize_t n =
        ::write(input_.get(), outgoing_.data() + outgoing_sent_, outgoing_.size() - outgoing_sent_);
    if (n > 0) {
      outgoing_sent_ += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      return true;
    } else {
      input_.reset();
      outgoing_.clear();
      outgoing_sent_ = 0;
      return false;
    }
  }
  return true;
}

bool ExecutorConnection::receive() {
  char buffer[65536];
  while (true) {
    const ssize_t n = ::read(output_.get(), buffer, sizeof buffer);
    if (n > 0) {
      incoming_.append(buffer, static_cast<std::size_t>(n));
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

std::optional<std::string> ExecutorConnection::next_line() {
  const std::size_t end = incoming_.find('\n', incoming_scanned_);
  if (end == std::string::npos) {
    incoming_scanned_ = incoming_.size();
    return std::nullopt;
  }
  std::string line = incoming_.substr(0, end);
  incoming_.erase(0, end + 1);
  incoming_scanned_ = 0;
  if (trace_) print_trace(false, line);
  return line;
}

void ExecutorConnection::signal_group(int signal_number) const {
  if (pid_ > 0) ::kill(-pid_, signal_number);
}

}  // namespace zelta::client
