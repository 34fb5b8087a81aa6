// The bytes of one captured output stream, held once, with a running UTF-8 check.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zelta {

/// A byte stream collected in blocks that are filled in place and never
/// copied, so the stream costs its own size plus at most one partly filled
/// block. Every committed piece is checked as UTF-8 at once; a stream found
/// ill-formed is dropped as a whole: its blocks are released and later bytes
/// are not kept.
class CaptureBuffer {
 public:
  CaptureBuffer() = default;
  CaptureBuffer(CaptureBuffer&&) noexcept = default;
  CaptureBuffer& operator=(CaptureBuffer&&) noexcept = default;

  /// Room for the next read: at least one byte at the end of the stream.
  /// Only while !dropped(). May throw std::bad_alloc.
  char* room();
  /// Bytes available at room().
  std::size_t room_size() const;
  /// Declares that `n` bytes (at most room_size()) were written at room().
  void commit(std::size_t n);
  /// Marks the end of the stream: a sequence left incomplete makes the
  /// stream ill-formed.
  void finish();
  /// Drops the stream: releases every block and keeps nothing afterwards.
  void drop();

  /// True once the stream was found ill-formed or dropped.
  bool dropped() const { return dropped_; }
  /// Bytes held (0 once dropped).
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  /// Calls `visit(std::string_view)` for each held piece, in stream order.
  template <class Visit>
  void for_each_piece(Visit&& visit) const {
    for (const Block& block : blocks_) {
      if (block.used != 0) visit(std::string_view(block.data.get(), block.used));
    }
  }
  /// The held bytes as one string (for tests and small texts).
  std::string to_string() const;

 private:
  struct Block {
    std::unique_ptr<char[]> data;
    std::size_t capacity = 0;
    std::size_t used = 0;
  };

  void add_block();

  std::vector<Block> blocks_;
  std::size_t size_ = 0;
  // Bytes of the last block, from its start, already checked as UTF-8; the
  // rest (at most three bytes) is a sequence still waiting for its end.
  std::size_t checked_ = 0;
  bool dropped_ = false;
};

/// Number of bytes at the end of `bytes` that begin a multi-byte sequence
/// not yet complete (0 to 3). Bytes that cannot begin a sequence count as
/// complete, so the check that follows rejects them.
std::size_t incomplete_utf8_tail(std::string_view bytes);

}  // namespace zelta
