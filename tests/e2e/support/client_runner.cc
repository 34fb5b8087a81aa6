#include "client_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace zelta::testing {

std::string client_path() { return ZELTA_CLIENT_PATH; }

ClientResult run_client(const std::vector<std::string>& args, const std::string& input,
                        std::chrono::milliseconds timeout) {
  signal(SIGPIPE, SIG_IGN);
  ClientResult result;
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    return result;
  }
  std::vector<std::string> argv_strings{client_path()};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : argv_strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (rc != 0) {
    close(in[1]);
    close(out[0]);
    close(err[0]);
    return result;
  }
  fcntl(in[1], F_SETFL, O_NONBLOCK);
  std::size_t written = 0;
  int stdin_fd = in[1];
  if (input.empty()) {
    close(stdin_fd);
    stdin_fd = -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int open_outputs = 2;
  int fds[2] = {out[0], err[0]};
  std::string* sinks[2] = {&result.out, &result.err};
  while (open_outputs > 0 && std::chrono::steady_clock::now() < deadline) {
    pollfd entries[3];
    nfds_t count = 0;
    for (int fd : fds) entries[count++] = {fd, POLLIN, 0};
    if (stdin_fd >= 0) entries[count++] = {stdin_fd, POLLOUT, 0};
    poll(entries, count, 100);
    for (int i = 0; i < 2; ++i) {
      if (fds[i] < 0 || entries[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i], buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i]);
        fds[i] = -1;
        entries[i].fd = -1;
        --open_outputs;
      }
    }
    if (stdin_fd >= 0 && entries[2].revents != 0) {
      const ssize_t n = write(stdin_fd, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      if (n < 0 && errno != EAGAIN && errno != EINTR) written = input.size();
      if (written == input.size()) {
        close(stdin_fd);
        stdin_fd = -1;
      }
    }
  }
  if (stdin_fd >= 0) close(stdin_fd);
  for (int fd : fds) {
    if (fd >= 0) close(fd);
  }
  int status = 0;
  if (open_outputs > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return result;  // status stays -1: it did not end in time
  }
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace zelta::testing
