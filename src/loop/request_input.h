// The executor's input: read in chunks, cut into lines, each served once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zelta {

/// The one owner of the descriptor requests are read from and of every byte
/// read from it that has not been served yet. Served lines are consumed from
/// the front; the storage is compacted only when the consumed part
/// dominates, so many short lines in one read and one very long line both
/// cost linear time.
class RequestInput {
 public:
  /// Largest single read.
  static constexpr std::size_t kReadSize = 4096;

  explicit RequestInput(int fd) : fd_(fd) {}

  int fd() const { return fd_; }

  enum class ReadOutcome {
    kData,   // bytes were added
    kEnd,    // end of input
    kError,  // a read error other than an interruption: nothing more will come
    kAgain,  // nothing to read now (a non-blocking descriptor)
  };
  /// One read of at most kReadSize bytes, repeated when interrupted.
  ReadOutcome read_some();

  /// Finds the first complete line and views it (without its line feed) in
  /// place; the view stays valid until the next call. `offset` is where the
  /// line starts, counted in bytes since the input's start.
  bool take_line(std::string_view& line, std::uint64_t& offset);
  bool take_line(std::string_view& line) {
    std::uint64_t offset;
    return take_line(line, offset);
  }

  /// True when a complete line is waiting; take_line then finds it at once.
  bool has_line();

  /// Views everything pending as the last line; valid until the next call.
  void take_rest(std::string_view& line);

  bool empty() const { return start_ == buffer_.size(); }

  /// How many bytes have been read since the input's start.
  std::uint64_t read_total() const { return consumed_before_ + buffer_.size(); }

  /// Drops what has been served now rather than at the next line.
  void release_served() { compact(); }

 private:
  void compact();

  int fd_;
  std::string buffer_;
  std::size_t start_ = 0;
  std::size_t scanned_ = 0;
  // Bytes dropped from the front of `buffer_` so far.
  std::uint64_t consumed_before_ = 0;
};

}  // namespace zelta
