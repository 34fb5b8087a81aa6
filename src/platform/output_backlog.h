// How much of what was written to a descriptor its reader has not taken yet.
#pragma once

namespace zelta {

/// A way to ask a descriptor for its unread bytes, chosen once per descriptor.
class OutputBacklog {
 public:
  /// For `fd`, the writing end of a pipe, a socket or a terminal.
  explicit OutputBacklog(int fd);

  /// Bytes written to the descriptor that its reader has not taken yet (for
  /// a socket: what it still holds to send), or -1 where the system cannot
  /// tell.
  long bytes() const;

  /// Whether bytes() can tell at all.
  bool known() const { return request_ != 0; }

 private:
  int fd_;
  unsigned long request_ = 0;  // the ioctl that tells; 0: none
};

}  // namespace zelta
