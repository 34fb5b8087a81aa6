// The bytes of one captured output stream, held once, with a running UTF-8 check.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "capture/byte_block.h"
#include "capture/escaped_block.h"

namespace zelta {

/// A byte stream collected in blocks that are filled in place and never
/// copied, so the stream costs its own size plus at most one partly filled
/// block. Every committed piece is checked as UTF-8 at once. A block found
/// to hold ill-formed UTF-8 is replaced, once it is full, by its text with
/// every maximal ill-formed subpart turned into U+FFFD (the lossy decoding of
/// terminal output); a sequence cut by a block's end moves to the next block
/// first, so the result is that of decoding the stream as a whole. A stream
/// that is all well-formed is never copied for this.
///
/// With `escape_full_blocks`, each block is replaced by its JSON-escaped form
/// (see hold_escaped) as soon as it is full, so the escaping is done while
/// the stream is still being read and the text can later be written as it
/// is held.
class CaptureBuffer {
 public:
  explicit CaptureBuffer(bool escape_full_blocks = false)
      : escape_full_blocks_(escape_full_blocks) {}
  CaptureBuffer(CaptureBuffer&&) noexcept = default;
  CaptureBuffer& operator=(CaptureBuffer&&) noexcept = default;

  /// Room for the next read: at least one byte at the end of the stream.
  /// Only while holding(). Null when no memory is left for a new block.
  char* room();
  /// Bytes available at room().
  std::size_t room_size() const;
  /// Declares that `n` bytes (at most room_size()) were written at room().
  void commit(std::size_t n);
  /// Marks the end of the stream: a sequence left incomplete is ill-formed.
  void finish();
  /// Keeps what is held but takes nothing more (no memory was left): the
  /// stream is cut here, and later bytes are only counted (see discard()).
  void stop_holding();
  /// Counts `n` bytes read after the stream was cut.
  void discard(std::size_t n) { discarded_ += n; }

  /// False once the stream was cut.
  bool holding() const { return holding_; }
  /// True when the stream was cut: bytes after the held ones were lost.
  bool truncated() const { return !holding_; }
  /// Raw bytes captured and held, before any repair.
  std::size_t size() const { return size_; }
  /// Bytes read after the stream was cut.
  std::size_t discarded() const { return discarded_; }
  bool empty() const { return size_ == 0; }

  /// The held text as one string; for a buffer that does not escape its
  /// blocks (tests and small texts).
  std::string to_string() const;
  /// Hands over the blocks holding the stream, in order, each escaped or
  /// raw; the buffer is empty afterwards.
  std::vector<HeldBlock> take_blocks();
  /// The blocks holding the stream, in order, each escaped or raw, for a
  /// writer that consumes them in place.
  std::vector<HeldBlock>& blocks() { return blocks_; }

 private:
  bool add_block();
  // Replaces the full (last) block by its lossy decoding when it is not
  // well-formed, then by its escaped form when asked to.
  void seal_last_block();

  std::vector<HeldBlock> blocks_;
  // A raw block whose bytes were escaped, kept to be filled again.
  ByteBlock spare_;
  std::size_t size_ = 0;
  std::size_t discarded_ = 0;
  // Bytes of the last block, from its start, already checked as UTF-8; the
  // rest (at most three bytes) is a sequence still waiting for its end.
  std::size_t checked_ = 0;
  // The last block holds ill-formed UTF-8 and is repaired when sealed.
  bool last_ill_formed_ = false;
  bool holding_ = true;
  bool escape_full_blocks_ = false;
};

/// Number of bytes at the end of `bytes` that begin a multi-byte sequence
/// not yet complete (0 to 3). Bytes that cannot begin a sequence count as
/// complete, so the check that follows rejects them.
std::size_t incomplete_utf8_tail(std::string_view bytes);

/// The lossy decoding of `raw` (see CaptureBuffer) in a new block, or an
/// empty block when no memory is left.
ByteBlock repair_utf8_block(std::string_view raw);

}  // namespace zelta
