// Messages on standard error, with the line end a raw terminal needs.
#include "clients/cli/diagnostics.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "clients/cli/raw_terminal.h"

namespace zelta::client {
namespace {

void write_line_to_stderr(std::string text) {
  // A terminal in raw mode does not turn "\n" into "\r\n" by itself.
  text += RawTerminal::active() ? "\r\n" : "\n";
  write_all(STDERR_FILENO, text);
}

}  // namespace

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n > 0) {
      data.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EAGAIN) {
      pollfd entry{fd, POLLOUT, 0};
      ::poll(&entry, 1, -1);
    } else if (n < 0 && errno != EINTR) {
      return false;
    }
  }
  return true;
}

void print_error(std::string_view message) {
  write_line_to_stderr("stdio_client: " + std::string(message));
}

void print_trace(bool sent, std::string_view line) {
  write_line_to_stderr((sent ? "> " : "< ") + std::string(line));
}

}  // namespace zelta::client
