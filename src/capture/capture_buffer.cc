#include "capture/capture_buffer.h"

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

ByteBlock repair_utf8_block(std::string_view raw) {
  ByteBlock repaired = ByteBlock::allocate(utf8_lossy_size(raw), true);
  if (repaired.capacity() == 0) return repaired;
  char* end = write_utf8_lossy(raw, repaired.data());
  repaired.set_size(static_cast<std::size_t>(end - repaired.data()));
  return repaired;
}

char* CaptureBuffer::room() {
  if (blocks_.empty() || blocks_.back().bytes.size() == blocks_.back().bytes.capacity()) {
    if (!add_block()) return nullptr;
  }
  ByteBlock& last = blocks_.back().bytes;
  return last.data() + last.size();
}

std::size_t CaptureBuffer::room_size() const {
  if (blocks_.empty()) return 0;
  const ByteBlock& last = blocks_.back().bytes;
  return last.capacity() - last.size();
}

void CaptureBuffer::seal_last_block() {
  HeldBlock& last = blocks_.back();
  if (last_ill_formed_) {
    // Without memory for the repaired copy the block's text is lost, not
    // written as bytes that are not UTF-8.
    ByteBlock repaired = repair_utf8_block(last.bytes.view());
    if (repaired.capacity() == 0) last.bytes.set_size(0);
    if (repaired.capacity() != 0) last.bytes = std::move(repaired);
    last_ill_formed_ = false;
  }
  if (!escape_full_blocks_) return;
  ByteBlock escaped = escape_block(last.bytes.view());
  if (escaped.capacity() == 0) return;
  spare_ = std::move(last.bytes);
  last = HeldBlock{std::move(escaped), true};
}

bool CaptureBuffer::add_block() {
  const std::size_t capacity =
      blocks_.empty() ? kFirstBlock : std::min(blocks_.back().bytes.capacity() * 2, kLargestBlock);
  // A sequence cut by the end of the full block moves to the new one, so
  // that every block holds whole sequences and is checked on its own.
  char pending[4];
  std::size_t pending_size = 0;
  if (!blocks_.empty()) {
    HeldBlock& full = blocks_.back();
    pending_size = full.bytes.size() - checked_;
    std::memcpy(pending, full.bytes.data() + checked_, pending_size);
    full.bytes.set_size(checked_);
    seal_last_block();
  }
  ByteBlock block;
  if (spare_.capacity() >= capacity) {
    block = std::move(spare_);
  } else {
    spare_.reset();
    block = ByteBlock::allocate(capacity, capacity >= kLargestBlock);
    // The stream is cut at the end of the full block; a sequence cut off
    // there (at most three bytes) is lost with what follows.
    if (block.capacity() == 0) return false;
  }
  std::memcpy(block.data(), pending, pending_size);
  block.set_size(pending_size);
  checked_ = 0;
  blocks_.push_back(HeldBlock{std::move(block), false});
  return true;
}

void CaptureBuffer::commit(std::size_t n) {
  if (n == 0 || !holding_) return;
  ByteBlock& last = blocks_.back().bytes;
  last.set_size(last.size() + n);
  size_ += n;
  const std::string_view unchecked(last.data() + checked_, last.size() - checked_);
  const std::size_t tail = incomplete_utf8_tail(unchecked);
  if (!last_ill_formed_ && !is_valid_utf8(unchecked.substr(0, unchecked.size() - tail))) {
    last_ill_formed_ = true;
  }
  checked_ = last.size() - tail;
}

void CaptureBuffer::finish() {
  spare_.reset();
  if (blocks_.empty()) return;
  HeldBlock& last = blocks_.back();
  if (last.escaped) return;                                    // sealed when the stream was cut
  if (last.bytes.size() != checked_) last_ill_formed_ = true;  // cut off by the end
  checked_ = last.bytes.size();
  seal_last_block();
  spare_.reset();
}

void CaptureBuffer::stop_holding() { holding_ = false; }

std::vector<HeldBlock> CaptureBuffer::take_blocks() {
  std::vector<HeldBlock> blocks = std::move(blocks_);
  blocks_.clear();
  size_ = 0;
  checked_ = 0;
  return blocks;
}

std::string CaptureBuffer::to_string() const {
  std::string text;
  text.reserve(size_);
  for (const HeldBlock& block : blocks_) text.append(block.bytes.view());
  return text;
}

}  // namespace zelta
