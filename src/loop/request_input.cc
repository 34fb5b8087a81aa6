#include "loop/request_input.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace zelta {
namespace {

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

}  // namespace

RequestInput::ReadOutcome RequestInput::read_some() {
  char chunk[kReadSize];
  while (true) {
    const ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n > 0) {
      compact();
      buffer_.append(chunk, static_cast<std::size_t>(n));
      return ReadOutcome::kData;
    }
    if (n == 0) return ReadOutcome::kEnd;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return ReadOutcome::kAgain;
    return ReadOutcome::kError;
  }
}

bool RequestInput::take_line(std::string_view& line, std::uint64_t& offset) {
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
  offset = consumed_before_ + start_;
  start_ = static_cast<std::size_t>(newline - buffer_.data()) + 1;
  scanned_ = start_;
  return true;
}

bool RequestInput::has_line() {
  const char* begin = buffer_.data() + std::max(start_, scanned_);
  const char* end = buffer_.data() + buffer_.size();
  const void* found = std::memchr(begin, '\n', static_cast<std::size_t>(end - begin));
  scanned_ = found == nullptr
                 ? buffer_.size()
                 : static_cast<std::size_t>(static_cast<const char*>(found) - buffer_.data());
  return found != nullptr;
}

void RequestInput::take_rest(std::string_view& line) {
  line = std::string_view(buffer_).substr(start_);
  start_ = scanned_ = buffer_.size();
}

// Drops served bytes: all of them once everything is served, else only when
// they dominate the buffer.
void RequestInput::compact() {
  if (start_ == buffer_.size()) {
    consumed_before_ += buffer_.size();
    release_if_large(buffer_);
    start_ = scanned_ = 0;
  } else if (start_ > 64 * 1024 && start_ * 2 > buffer_.size()) {
    // A fresh string, so storage grown by a long line is given back.
    consumed_before_ += start_;
    buffer_ = buffer_.substr(start_);
    scanned_ -= start_;
    start_ = 0;
  }
}

}  // namespace zelta
