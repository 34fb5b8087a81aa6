/* Baseline for request throughput: reads standard input in 4096-byte chunks
   and answers every line with one fixed reply line, one write per reply. No
   decoding at all. (The executor hands a reply over at its line feed too,
   except that replies to requests already waiting in its input go out
   together.) */
#include <errno.h>
#include <string.h>
#include <unistd.h>

static const char kReply[] = "{\"exit_code\":1,\"error\":\"Unknown: x\"}\n";

static int write_all(const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(1, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    data += n;
    size -= (size_t)n;
  }
  return 0;
}

int main(void) {
  char buffer[4096];
  int pending = 0; /* bytes of an unterminated line seen */
  for (;;) {
    ssize_t n = read(0, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const char* p = buffer;
    const char* end = buffer + n;
    while (p < end) {
      const char* newline = memchr(p, '\n', (size_t)(end - p));
      if (newline == NULL) {
        pending = 1;
        break;
      }
      if (write_all(kReply, sizeof kReply - 1) != 0) return 0;
      pending = 0;
      p = newline + 1;
    }
  }
  if (pending) write_all(kReply, sizeof kReply - 1);
  return 0;
}
