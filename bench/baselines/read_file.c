/* Reference for the file-reading reply: reads a file whole, checks that it
 * is UTF-8, and writes {"exit_code":0,"content":"..."} plus a line feed to
 * standard output with the content escaped as JSON, in 64 KiB writes.
 * Usage: baseline_read_file PATH */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static char out[64 * 1024];
static size_t used;

static void flush_out(void) {
  size_t off = 0;
  while (off < used) {
    ssize_t n = write(1, out + off, used - off);
    if (n <= 0) exit(1);
    off += (size_t)n;
  }
  used = 0;
}

static void put(const char* p, size_t n) {
  while (n > 0) {
    size_t room = sizeof out - used;
    size_t k = n < room ? n : room;
    memcpy(out + used, p, k);
    used += k;
    p += k;
    n -= k;
    if (used == sizeof out) flush_out();
  }
}

static int valid_utf8(const unsigned char* p, size_t n) {
  const unsigned char* end = p + n;
  while (p < end) {
    if (end - p >= 8) {
      uint64_t w;
      memcpy(&w, p, 8);
      if ((w & 0x8080808080808080ull) == 0) {
        p += 8;
        continue;
      }
    }
    unsigned char c = *p;
    if (c < 0x80) {
      p++;
      continue;
    }
    int len;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF)
      len = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else
      return 0;
    if (end - p < len) return 0;
    if (p[1] < lo || p[1] > hi) return 0;
    for (int i = 2; i < len; i++)
      if (p[i] < 0x80 || p[i] > 0xBF) return 0;
    p += len;
  }
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 1;
  struct stat st;
  if (fstat(fd, &st) != 0) return 1;
  size_t cap = (size_t)st.st_size + 1, len = 0;
  char* data = malloc(cap);
  for (;;) {
    if (len == cap) data = realloc(data, cap *= 2);
    ssize_t n = read(fd, data + len, cap - len);
    if (n < 0) return 1;
    if (n == 0) break;
    len += (size_t)n;
  }
  close(fd);
  if (!valid_utf8((const unsigned char*)data, len)) return 1;

  static const char hex[] = "0123456789abcdef";
  static const char head[] = "{\"exit_code\":0,\"content\":\"";
  put(head, sizeof head - 1);
  const char* run = data;
  for (size_t i = 0; i < len; i++) {
    unsigned char c = (unsigned char)data[i];
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    put(run, (size_t)(data + i - run));
    run = data + i + 1;
    char esc[6] = {'\\', 0, 0, 0, 0, 0};
    switch (c) {
      case '"':
        esc[1] = '"';
        put(esc, 2);
        break;
      case '\\':
        esc[1] = '\\';
        put(esc, 2);
        break;
      case '\b':
        esc[1] = 'b';
        put(esc, 2);
        break;
      case '\t':
        esc[1] = 't';
        put(esc, 2);
        break;
      case '\n':
        esc[1] = 'n';
        put(esc, 2);
        break;
      case '\f':
        esc[1] = 'f';
        put(esc, 2);
        break;
      case '\r':
        esc[1] = 'r';
        put(esc, 2);
        break;
      default:
        esc[1] = 'u';
        esc[2] = '0';
        esc[3] = '0';
        esc[4] = hex[c >> 4];
        esc[5] = hex[c & 15];
        put(esc, 6);
    }
  }
  put(run, (size_t)(data + len - run));
  put("\"}\n", 3);
  flush_out();
  free(data);
  return 0;
}
