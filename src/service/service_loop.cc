#include "service/service_loop.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "protocol/output.h"
#include "protocol/request_decoder.h"
#include "protocol/utf8.h"
#include "service/heap_release.h"
#include "service/run_handler.h"
#include "service/services/glob_service.h"
#include "service/services/hello_service.h"
#include "service/services/process_subst_service.h"
#include "service/services/read_file_service.h"
#include "supervise/run_input.h"

namespace zelta {
namespace {

constexpr std::size_t kReadSize = 4096;

// Empties `text`; storage grown by an exceptionally long line is given back
// instead of being held for the rest of the process's life.
void release_if_large(std::string& text) {
  constexpr std::size_t kRetainedCapacity = 1 << 20;
  if (text.capacity() > kRetainedCapacity) {
    std::string().swap(text);
  } else {
    text.clear();
  }
}

// Bytes read from descriptor 0 that do not yet form a complete line. Served
// lines are consumed from the front by advancing `start`; the storage is
// compacted only when the consumed part dominates, so many short lines in one
// read and one very long line both cost linear time.
class PendingInput {
 public:
  // Finds the first complete line and views it (without its line feed) in
  // place: no copy is made. The view stays valid until the next call.
  bool take_line(std::string_view& line) {
    compact();
    const char* begin = buffer_.data() + start_;
    const char* end = buffer_.data() + buffer_.size();
    const char* scan = buffer_.data() + std::max(start_, scanned_);
    const void* found = std::memchr(scan, '\n', static_cast<std::size_t>(end - scan));
    if (found == nullptr) {
      scanned_ = buffer_.size();
      return false;
    }
    const char* newline = static_cast<const char*>(found);
    line = std::string_view(begin, static_cast<std::size_t>(newline - begin));
    start_ = static_cast<std::size_t>(newline - buffer_.data()) + 1;
    scanned_ = start_;
    return true;
  }

  void append(const char* data, std::size_t size) {
    compact();
    buffer_.append(data, size);
  }

  bool empty() const { return start_ == buffer_.size(); }

  // True when a complete line is waiting; take_line then finds it at once.
  bool has_line() {
    const char* begin = buffer_.data() + std::max(start_, scanned_);
    const char* end = buffer_.data() + buffer_.size();
    const void* found = std::memchr(begin, '\n', static_cast<std::size_t>(end - begin));
    scanned_ = found == nullptr
                   ? buffer_.size()
                   : static_cast<std::size_t>(static_cast<const char*>(found) - buffer_.data());
    return found != nullptr;
  }

  // Views everything pending as the last line; valid until the next call.
  void take_rest(std::string_view& line) {
    line = std::string_view(buffer_).substr(start_);
    start_ = scanned_ = buffer_.size();
  }

 private:
  // Drops served bytes: all of them once everything is served, else only
  // when they dominate the buffer.
  void compact() {
    if (start_ == buffer_.size()) {
      release_if_large(buffer_);
      start_ = scanned_ = 0;
    } else if (start_ > 64 * 1024 && start_ * 2 > buffer_.size()) {
      // A fresh string, so storage grown by a long line is given back.
      buffer_ = buffer_.substr(start_);
      scanned_ -= start_;
      start_ = 0;
    }
  }

  std::string buffer_;
  std::size_t start_ = 0;
  std::size_t scanned_ = 0;
};

bool is_run_request(std::string_view type) {
  return type == "run.ast" || type == "execute" || type == "run.pipeline";
}

// Requests whose answer takes system work (file system, processes): output
// written before them is never held across them.
bool needs_system_work(std::string_view type) {
  return type == "run.ast" || type == "read_file" || type == "glob";
}

// Lines a run read from standard input without serving them come after
// everything the loop had read before the run.
void take_carried(PendingInput& pending) {
  const std::string carried = take_carried_input();
  if (!carried.empty()) pending.append(carried.data(), carried.size());
}

// Hands over held output on every way out of the service loop.
struct ReleaseOutput {
  ~ReleaseOutput() { hold_output(false); }
};

}  // namespace

void serve_line(std::string_view line, bool more_waiting) {
  // First, so that it ends after everything the request held is freed.
  const HeapGiveBack give_back(line.size());
  auto decoded = decode_request(line);
  hold_output(more_waiting && (!decoded || !needs_system_work(decoded.value().type)));
  if (!decoded) {
    write_reply(error_reply("Parse error"));
    return;
  }
  Request& request = decoded.value();
  if (is_run_request(request.type) && request.run_id) {
    write_event(recv_event(request.type, *request.run_id));
  }
  if (request.type == "run.ast") {
    serve_run_ast(request);
  } else if (request.type == "read_file") {
    write_reply(read_file_service(request));
  } else if (request.type == "glob") {
    write_reply(glob_service(request));
  } else if (request.type == "process_subst") {
    write_reply(process_subst_service(request));
  } else if (request.type == "hello") {
    write_reply(hello_service(request));
  } else {
    write_reply(error_reply("Unknown: " + request.type));
  }
}

void run_service_loop() {
  const ReleaseOutput release;
  PendingInput pending;
  std::string_view line;
  char buffer[kReadSize];
  while (!output_broken()) {
    if (pending.take_line(line)) {
      // The line feed belongs to the line for the UTF-8 check, but it is
      // ASCII, so checking the text without it is the same.
      if (!is_valid_utf8(line)) return;
      serve_line(line, pending.has_line());
      take_carried(pending);
      continue;
    }
    ssize_t n = ::read(0, buffer, sizeof buffer);
    if (n > 0) {
      pending.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) {
      if (pending.empty()) return;
      pending.take_rest(line);
      if (!is_valid_utf8(line)) return;
      serve_line(line);
      take_carried(pending);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // A terminal run leaves descriptor 0 non-blocking; wait for input
      // instead of polling it every millisecond.
      pollfd pfd{0, POLLIN, 0};
      ::poll(&pfd, 1, -1);
      continue;
    }
    return;
  }
}

}  // namespace zelta
