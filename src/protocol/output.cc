#include "protocol/output.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "platform/hot_path.h"

namespace zelta {
namespace {

constexpr std::size_t kBufferSize = 64 * 1024;

std::mutex g_output_mutex;
// Guarded by g_output_mutex.
char g_buffer[kBufferSize];
std::size_t g_buffered = 0;
int g_fd = 1;
bool g_held = false;
std::atomic<bool> g_broken{false};

// Writes all of [data, data + size) to the output descriptor. A descriptor
// that the front end made non-blocking is waited on rather than spun on.
ZELTA_HOT void write_all(const char* data, std::size_t size) {
  while (size > 0 && !g_broken.load(std::memory_order_relaxed)) {
    ssize_t n = ::write(g_fd, data, size);
    if (n > 0) {
      data += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd pfd{g_fd, POLLOUT, 0};
      ::poll(&pfd, 1, -1);
      continue;
    }
    g_broken.store(true, std::memory_order_relaxed);
  }
}

ZELTA_HOT void flush_buffer_locked() {
  if (g_buffered == 0) return;
  write_all(g_buffer, g_buffered);
  g_buffered = 0;
}

}  // namespace

ZELTA_HOT OutputLine::OutputLine(bool hand_over) : lock_(g_output_mutex), hand_over_(hand_over) {}

ZELTA_HOT OutputLine::~OutputLine() {
  append("\n", 1);
  if (!g_held || hand_over_) flush_buffer_locked();
}

ZELTA_HOT void OutputLine::append(const char* data, std::size_t size) {
  if (size <= kBufferSize - g_buffered) {
    std::memcpy(g_buffer + g_buffered, data, size);
    g_buffered += size;
    return;
  }
  flush_buffer_locked();
  if (size >= kBufferSize / 2) {
    write_all(data, size);
  } else {
    std::memcpy(g_buffer, data, size);
    g_buffered = size;
  }
}

void write_line(std::string_view text) {
  OutputLine line;
  line.append(text.data(), text.size());
}

void write_reply(const Reply& reply) {
  OutputLine line;
  write_reply_to(line, reply);
}

void write_event(const Event& event) {
  OutputLine line;
  write_event_to(line, event);
}

void flush_stdout() {
  std::lock_guard<std::mutex> lock(g_output_mutex);
  flush_buffer_locked();
}

void hold_output(bool held) {
  std::lock_guard<std::mutex> lock(g_output_mutex);
  g_held = held;
  if (!held) flush_buffer_locked();
}

bool output_broken() { return g_broken.load(std::memory_order_relaxed); }

void mark_output_broken() { g_broken.store(true, std::memory_order_relaxed); }

int output_fd() {
  std::lock_guard<std::mutex> lock(g_output_mutex);
  return g_fd;
}

void set_output_fd_for_testing(int fd) {
  std::lock_guard<std::mutex> lock(g_output_mutex);
  g_buffered = 0;
  g_held = false;
  g_fd = fd;
  g_broken.store(false);
}

}  // namespace zelta
