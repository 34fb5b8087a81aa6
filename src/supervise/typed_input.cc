#include "supervise/typed_input.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>

#include "platform/hot_path.h"

namespace zelta {
namespace {

// Most queued input written per run cycle (see the measurements in
// docs/reliability.md). A build may set ZELTA_INPUT_CHUNK_SIZE=0 to write
// without pacing, as the paste benchmark's baseline does.
#ifdef ZELTA_INPUT_CHUNK_SIZE
constexpr std::size_t kInputChunkSize = ZELTA_INPUT_CHUNK_SIZE;
#else
constexpr std::size_t kInputChunkSize = 4096;
#endif

constexpr std::size_t kReadSize = 4096;
// Output read before one write of input at most, so that a command that
// writes without pause cannot keep its input from ever being written.
constexpr std::size_t kMostReadBeforeWrite = 64 * 1024;

bool is_transient(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

// Forwards what the terminal has ready; stops at the first read that finds
// nothing (or fails: the run's cycle deals with a hang-up).
ZELTA_HOT void read_ready_output(int master, StdoutEvents& events) {
  char buffer[kReadSize];
  for (std::size_t total = 0; total < kMostReadBeforeWrite;) {
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) return;
    events.write(buffer, static_cast<std::size_t>(n));
    total += static_cast<std::size_t>(n);
  }
}

}  // namespace

TypedInput::TypedInput() : budget_(kInputChunkSize) {}

ZELTA_HOT void TypedInput::begin_cycle() {
  budget_ = kInputChunkSize;
  output_empty_ = false;
  written_ = false;
}

ZELTA_HOT void TypedInput::type(int master, StdoutEvents& events, std::string_view data) {
  if (data.empty()) {
    // Typing nothing is one write of nothing, in its turn.
    if (!pending()) [[maybe_unused]]
      ssize_t ignored = ::write(master, data.data(), 0);
    return;
  }
  if (!pending()) {
    queue_.clear();
    offset_ = 0;
  }
  queue_.append(data);
  feed(master, events);
}

ZELTA_HOT void TypedInput::feed(int master, StdoutEvents& events) {
  if (!pending()) return;
  if constexpr (kInputChunkSize == 0) {
    write(master, queue_.size() - offset_);
    return;
  }
  if (budget_ == 0) return;
  if (!output_empty_ && !output_paused_) read_ready_output(master, events);
  const std::size_t written = offset_;
  write(master, budget_);
  budget_ -= std::min(budget_, offset_ - written);
}

ZELTA_HOT void TypedInput::write(int master, std::size_t limit) {
  const std::size_t size = std::min(limit, queue_.size() - offset_);
  output_empty_ = false;
  const ssize_t n = ::write(master, queue_.data() + offset_, size);
  if (n > 0) {
    offset_ += static_cast<std::size_t>(n);
    written_ = true;
  } else if (n < 0 && !is_transient(errno)) {
    offset_ = queue_.size();  // the terminal is gone
  }
  if (offset_ == queue_.size()) {
    queue_.clear();
    offset_ = 0;
  } else if (offset_ > 64 * 1024 && offset_ * 2 > queue_.size()) {
    queue_.erase(0, offset_);
    offset_ = 0;
  }
}

}  // namespace zelta
