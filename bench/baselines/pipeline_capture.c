/* Baseline for pipeline capture: spawns `yes LINE | head -c BYTES`, reads the
 * last standard output to its end, waits for both, and then (mode "event")
 * writes the same "stdout" and "exit" event lines the executor writes, with a
 * plain JSON escaper that copies runs of ordinary bytes, or (mode "capture") only the exit line.
 * Usage: baseline_pipeline_capture event|capture LINE BYTES */
#define _GNU_SOURCE
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

static char out_buf[65536];
static size_t out_len;

static void out_flush(void) {
  size_t done = 0;
  while (done < out_len) {
    ssize_t n = write(1, out_buf + done, out_len - done);
    if (n <= 0) exit(1);
    done += (size_t)n;
  }
  out_len = 0;
}

static void out_bytes(const char* p, size_t n) {
  if (out_len + n > sizeof out_buf) out_flush();
  memcpy(out_buf + out_len, p, n);
  out_len += n;
}

/* Copies runs of bytes that need no escape at once, escapes the others. */
static void out_escaped(const unsigned char* p, size_t n) {
  static const char hex[] = "0123456789abcdef";
  size_t i = 0;
  while (i < n) {
    size_t run = i;
    while (run < n && p[run] >= 0x20 && p[run] != '"' && p[run] != '\\') ++run;
    if (run > i) out_bytes((const char*)p + i, run - i);
    if (run == n) break;
    unsigned char c = p[run];
    char e[6] = {'\\', 0, 0, 0, 0, 0};
    size_t len = 2;
    switch (c) {
      case '"':
        e[1] = '"';
        break;
      case '\\':
        e[1] = '\\';
        break;
      case '\n':
        e[1] = 'n';
        break;
      case '\t':
        e[1] = 't';
        break;
      case '\r':
        e[1] = 'r';
        break;
      case '\b':
        e[1] = 'b';
        break;
      case '\f':
        e[1] = 'f';
        break;
      default:
        memcpy(e + 1, "u00", 3), e[4] = hex[c >> 4], e[5] = hex[c & 15], len = 6;
    }
    out_bytes(e, len);
    i = run + 1;
  }
}

static pid_t spawn(char** argv, int in, int out) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in, 0);
  posix_spawn_file_actions_adddup2(&fa, out, 1);
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], &fa, NULL, argv, environ) != 0) exit(1);
  posix_spawn_file_actions_destroy(&fa);
  return pid;
}

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  int event = strcmp(argv[1], "event") == 0;
  int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int p1[2], p2[2];
  if (pipe2(p1, O_CLOEXEC) != 0 || pipe2(p2, O_CLOEXEC) != 0) return 1;
  char* yes_argv[] = {"yes", argv[2], NULL};
  char* head_argv[] = {"head", "-c", argv[3], NULL};
  pid_t a = spawn(yes_argv, null_fd, p1[1]);
  close(p1[1]);
  pid_t b = spawn(head_argv, p1[0], p2[1]);
  close(p1[0]);
  close(p2[1]);

  size_t cap = 1 << 16, len = 0;
  char* data = malloc(cap);
  for (;;) {
    if (len == cap) data = realloc(data, cap *= 2);
    ssize_t n = read(p2[0], data + len, cap - len);
    if (n <= 0) break;
    len += (size_t)n;
  }
  int status = 0;
  waitpid(a, &status, 0);
  waitpid(b, &status, 0);
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 1;

  if (event) {
    out_bytes("{\"data\":\"", 9);
    out_escaped((const unsigned char*)data, len);
    out_bytes("\",\"run_id\":\"bench\",\"stdout\":\"", 29);
    out_escaped((const unsigned char*)data, len);
    out_bytes("\",\"type\":\"stdout\"}\n", 19);
  }
  char exit_line[64];
  int n = snprintf(exit_line, sizeof exit_line,
                   "{\"exit_code\":%d,\"run_id\":\"bench\",\"type\":\"exit\"}\n", code);
  out_bytes(exit_line, (size_t)n);
  out_flush();
  free(data);
  return 0;
}
