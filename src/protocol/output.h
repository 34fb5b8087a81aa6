// The single writer of protocol lines on standard output.
#pragma once

#include <mutex>
#include <string_view>

#include "protocol/messages.h"

namespace zelta {

/// Holds the process-wide output lock while one line is written in pieces.
/// Pieces are gathered in a fixed buffer and handed to the operating system
/// when it fills; a large piece goes straight from the caller's memory. The
/// destructor ends the line with a line feed and hands it over, so every line
/// reaches the stream whole and nothing is held back after its line feed.
class OutputLine {
 public:
  /// `hand_over` makes the line go out at its end even while output is held,
  /// as flush_stdout() after it would, without taking the lock again.
  explicit OutputLine(bool hand_over = false);
  ~OutputLine();
  OutputLine(const OutputLine&) = delete;
  OutputLine& operator=(const OutputLine&) = delete;

  /// Appends raw bytes to the line.
  void append(const char* data, std::size_t size);

 private:
  std::unique_lock<std::mutex> lock_;
  bool hand_over_;
};

/// Writes `text` and a line feed as one line.
void write_line(std::string_view text);
/// Writes a reply as one line.
void write_reply(const Reply& reply);
/// Writes an event as one line.
void write_event(const Event& event);
/// Hands everything written so far to the operating system. Lines are already
/// handed over at their line feed, so this only matters after a write was
/// held up; failures are ignored.
void flush_stdout();

/// While output is held, finished lines stay in the buffer (handed over when
/// it fills) instead of going out at their line feed. Releasing hands over
/// everything held. The service loop holds output only while it answers
/// requests that need no system work and more complete requests are already
/// waiting, so such replies go out together, later by at most the time it
/// takes to answer the waiting ones.
void hold_output(bool held);

/// True once a write to standard output has failed for good (the front end
/// closed the stream). Later lines are discarded.
bool output_broken();
/// Records that the reader of standard output is gone, noticed without a
/// write (see output_fd()); later lines are discarded as after a failed write.
void mark_output_broken();
/// The descriptor lines are written to (1, unless a test redirected it), for
/// watching whether its reader is still there.
int output_fd();

/// Directs output to `fd` instead of descriptor 1 and clears the broken flag
/// (tests only).
void set_output_fd_for_testing(int fd);

}  // namespace zelta
