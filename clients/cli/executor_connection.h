// The executor as the client's child process, spoken to over two pipes.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

#include "clients/cli/syntax_tree.h"
#include "platform/unique_fd.h"
#include "protocol/result.h"

namespace zelta::client {

/// Where to find the executor: `flag` when not empty, else the environment variable
/// ZELTA_STDIO_EXECUTOR when set and not empty, else "stdio_executor" in the
/// directory of the client's own executable (`argv0` is the client's argv[0],
/// used where the system cannot name that executable).
std::string locate_executor(const std::string& flag, const char* argv0);

/// One running executor. Its standard input and output are pipes held here; its
/// standard error is the client's. It runs in a process group of its own, so keys
/// typed at the client's terminal never signal it (or the pipelines it starts).
/// Outgoing lines are queued and written as the pipe takes them, so the client never
/// blocks on a busy executor while that executor waits for the client to read.
class ExecutorConnection {
 public:
  /// Starts the executor at `path`. With `trace`, every line sent and received is
  /// shown on standard error.
  static Result<std::unique_ptr<ExecutorConnection>> start(const std::string& path, bool trace);
  /// Closes the executor's input (which ends it when idle) and reaps it; a run still
  /// in progress after two seconds is ended by SIGKILL to the process group.
  ~ExecutorConnection();
  ExecutorConnection(const ExecutorConnection&) = delete;
  ExecutorConnection& operator=(const ExecutorConnection&) = delete;

  /// Queues `message` as one line and writes what the pipe takes at once.
  void send(const Json& message);
  /// Bytes queued but not yet written.
  std::size_t queued() const { return outgoing_.size() - outgoing_sent_; }
  /// Writes queued bytes while the pipe takes them. False once the executor's input
  /// is gone (it ended); the queue is then dropped.
  bool flush();

  /// Descriptor to poll for POLLOUT while bytes are queued.
  int input_fd() const { return input_.get(); }
  /// Descriptor to poll for POLLIN.
  int output_fd() const { return output_.get(); }
  /// Reads what the executor has written. False at end of file or on a read error.
  bool receive();
  /// The next complete line received (traced), without its line feed.
  std::optional<std::string> next_line();

  /// Sends `signal_number` to the executor's process group.
  void signal_group(int signal_number) const;

 private:
  ExecutorConnection() = default;

  pid_t pid_ = -1;
  bool trace_ = false;
  UniqueFd input_;
  UniqueFd output_;
  std::string outgoing_;
  std::size_t outgoing_sent_ = 0;
  std::string incoming_;
  std::size_t incoming_scanned_ = 0;
};

}  // namespace zelta::client
