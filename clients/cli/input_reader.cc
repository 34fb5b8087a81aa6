// Buffered reading of the client's standard input.
#include "clients/cli/input_reader.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace zelta::client {

bool InputReader::fill() {
  char chunk[4096];
  while (true) {
    const ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n > 0) {
      buffer_.append(chunk, static_cast<std::size_t>(n));
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return true;
    at_end_ = true;
    return false;
  }
}

std::optional<std::string> InputReader::take_line() {
  const std::size_t end = buffer_.find('\n');
  if (end == std::string::npos) return std::nullopt;
  std::string line = buffer_.substr(0, end);
  buffer_.erase(0, end + 1);
  return line;
}

std::string InputReader::take_all() { return std::exchange(buffer_, {}); }

}  // namespace zelta::client
