// Test harness: one run of the built stdio_client without a terminal.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace zelta::testing {

/// What one client run produced.
struct ClientResult {
  std::string out;
  std::string err;
  /// Exit status, 128 + n when killed by signal n, -1 when it did not end in time.
  int status = -1;
};

/// Runs the built stdio_client with `args`, `input` as its standard input (a pipe,
/// closed after the bytes) and its output captured. Killed when it has not ended
/// within `timeout`.
ClientResult run_client(const std::vector<std::string>& args, const std::string& input = "",
                        std::chrono::milliseconds timeout = std::chrono::seconds(30));

/// Path of the built stdio_client.
std::string client_path();

}  // namespace zelta::testing
