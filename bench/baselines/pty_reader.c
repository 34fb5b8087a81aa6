/* Minimal pseudo-terminal reader: runs argv[1..] on a new terminal, reads the
 * master 4096 bytes at a time and writes one JSON event line per read with
 * the same escaping as the executor, then an exit line. No validation, no
 * control input, no poll: the least work a terminal forwarder can do. */
#include <pty.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static char out[4096 * 6 * 2 + 256];

static size_t escape(char* dst, const unsigned char* src, size_t n) {
  static const char hex[] = "0123456789abcdef";
  size_t k = 0;
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = src[i];
    if (c == '"' || c == '\\') {
      dst[k++] = '\\';
      dst[k++] = (char)c;
    } else if (c < 0x20) {
      switch (c) {
        case '\b':
          dst[k++] = '\\';
          dst[k++] = 'b';
          break;
        case '\t':
          dst[k++] = '\\';
          dst[k++] = 't';
          break;
        case '\n':
          dst[k++] = '\\';
          dst[k++] = 'n';
          break;
        case '\f':
          dst[k++] = '\\';
          dst[k++] = 'f';
          break;
        case '\r':
          dst[k++] = '\\';
          dst[k++] = 'r';
          break;
        default:
          memcpy(dst + k, "\\u00", 4);
          k += 4;
          dst[k++] = hex[c >> 4];
          dst[k++] = hex[c & 15];
      }
    } else {
      dst[k++] = (char)c;
    }
  }
  return k;
}

static void put(const char* s, size_t n, size_t* k) {
  memcpy(out + *k, s, n);
  *k += n;
}

static void write_all(const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(1, p, n);
    if (w <= 0) return;
    p += w;
    n -= (size_t)w;
  }
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
  unsigned char buf[4096];
  for (;;) {
    ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;
    size_t k = 0;
    put("{\"data\":\"", 9, &k);
    size_t start = k;
    k += escape(out + k, buf, (size_t)n);
    size_t len = k - start;
    put("\",\"run_id\":\"b\",\"stdout\":\"", 25, &k);
    memcpy(out + k, out + start, len);
    k += len;
    put("\",\"type\":\"stdout\"}\n", 19, &k);
    write_all(out, k);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  char line[64];
  int m = snprintf(line, sizeof line, "{\"exit_code\":%d,\"run_id\":\"b\",\"type\":\"exit\"}\n",
                   WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  write_all(line, (size_t)m);
  close(master);
  return 0;
}
