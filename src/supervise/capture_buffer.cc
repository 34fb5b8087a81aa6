#include "supervise/capture_buffer.h"

#include <algorithm>
#include <cstring>

#include "protocol/utf8.h"

namespace zelta {
namespace {

// Blocks start small, since most streams (standard error above all) hold
// little or nothing, and double up to a size where a partly filled last block
// is a negligible share of a large stream.
constexpr std::size_t kFirstBlock = 16 * 1024;
constexpr std::size_t kLargestBlock = 1024 * 1024;

}  // namespace

std::size_t incomplete_utf8_tail(std::string_view bytes) {
  const std::size_t limit = std::min<std::size_t>(3, bytes.size());
  for (std::size_t back = 1; back <= limit; ++back) {
    const auto byte = static_cast<unsigned char>(bytes[bytes.size() - back]);
    if ((byte & 0xC0) == 0x80) continue;  // continuation: look further back
    std::size_t length = 1;
    if (byte >= 0xC0 && byte < 0xE0) length = 2;
    if (byte >= 0xE0 && byte < 0xF0) length = 3;
    if (byte >= 0xF0 && byte < 0xF8) length = 4;
    return length > back ? back : 0;
  }
  return 0;
}

char* CaptureBuffer::room() {
  if (blocks_.empty() || blocks_.back().used == blocks_.back().capacity) add_block();
  Block& last = blocks_.back();
  return last.data.get() + last.used;
}

std::size_t CaptureBuffer::room_size() const {
  if (blocks_.empty()) return 0;
  return blocks_.back().capacity - blocks_.back().used;
}

void CaptureBuffer::add_block() {
  Block block;
  block.capacity =
      blocks_.empty() ? kFirstBlock : std::min(blocks_.back().capacity * 2, kLargestBlock);
  block.data.reset(new char[block.capacity]);
  if (!blocks_.empty()) {
    // A sequence cut by the end of the full block moves to the new one, so
    // that every block holds whole sequences and is checked on its own.
    Block& full = blocks_.back();
    const std::size_t pending = full.used - checked_;
    std::memcpy(block.data.get(), full.data.get() + checked_, pending);
    full.used = checked_;
    block.used = pending;
  }
  checked_ = 0;
  blocks_.push_back(std::move(block));
}

void CaptureBuffer::commit(std::size_t n) {
  if (n == 0 || dropped_) return;
  Block& last = blocks_.back();
  last.used += n;
  size_ += n;
  const std::string_view unchecked(last.data.get() + checked_, last.used - checked_);
  const std::size_t tail = incomplete_utf8_tail(unchecked);
  if (!is_valid_utf8(unchecked.substr(0, unchecked.size() - tail))) {
    drop();
    return;
  }
  checked_ = last.used - tail;
}

void CaptureBuffer::finish() {
  if (!dropped_ && !blocks_.empty() && blocks_.back().used != checked_) drop();
}

void CaptureBuffer::drop() {
  std::vector<Block>().swap(blocks_);
  size_ = 0;
  checked_ = 0;
  dropped_ = true;
}

std::string CaptureBuffer::to_string() const {
  std::string text;
  text.reserve(size_);
  for_each_piece([&](std::string_view piece) { text.append(piece); });
  return text;
}

}  // namespace zelta
