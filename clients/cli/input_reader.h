// The client's standard input, shared by the prompt and by keystroke forwarding.
#pragma once

#include <optional>
#include <string>

namespace zelta::client {

/// Buffers what is read from one descriptor. The prompt takes lines from it and a
/// terminal run takes everything, so no byte read for one is lost to the other.
class InputReader {
 public:
  explicit InputReader(int fd) : fd_(fd) {}

  int fd() const { return fd_; }
  /// True once a read has returned end of file or failed.
  bool at_end() const { return at_end_; }
  /// One read of what is available, appended to the buffer. False (and at_end())
  /// at end of file or on an error other than an interruption.
  bool fill();
  /// Removes and returns the first complete line, without its line feed.
  std::optional<std::string> take_line();
  /// Removes and returns everything buffered.
  std::string take_all();

 private:
  int fd_;
  bool at_end_ = false;
  std::string buffer_;
};

}  // namespace zelta::client
