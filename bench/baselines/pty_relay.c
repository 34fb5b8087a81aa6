/* Minimal terminal relay: runs argv[1..] on a new terminal and copies bytes
 * both ways as they come, standard input to the terminal and the terminal to
 * standard output, with no framing at all: the least a front end's helper
 * process can do between a pipe line and a terminal. Ends when the terminal
 * does, and reaps the child. */
#include <errno.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

static int write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return -1;
    p += w;
    n -= (size_t)w;
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  struct winsize ws = {24, 80, 0, 0};
  int master;
  pid_t pid = forkpty(&master, NULL, NULL, &ws);
  if (pid < 0) return 1;
  if (pid == 0) {
    execvp(argv[1], argv + 1);
    _exit(127);
  }
  struct pollfd fds[2] = {{0, POLLIN, 0}, {master, POLLIN, 0}};
  char buf[4096];
  for (;;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents & (POLLIN | POLLHUP)) {
      ssize_t n = read(0, buf, sizeof buf);
      if (n > 0) {
        if (write_all(master, buf, (size_t)n) != 0) break;
      } else {
        fds[0].fd = -1; /* input closed: keep relaying output */
      }
    }
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t n = read(master, buf, sizeof buf);
      if (n <= 0) break;
      if (write_all(1, buf, (size_t)n) != 0) break;
    }
  }
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
