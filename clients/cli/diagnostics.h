// Messages from the client to the user on standard error.
#pragma once

#include <string_view>

namespace zelta::client {

/// Writes "stdio_client: " + `message` and a line end to standard error.
void print_error(std::string_view message);

/// Writes one traced protocol line to standard error: "> " + line for a line sent
/// to the executor, "< " + line for a line received from it.
void print_trace(bool sent, std::string_view line);

/// Writes all of `data` to `fd`, waiting while the descriptor is full and retrying
/// interrupted writes. False when the descriptor fails (for example EPIPE).
bool write_all(int fd, std::string_view data);

}  // namespace zelta::client
