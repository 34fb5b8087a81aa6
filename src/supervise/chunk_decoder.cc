#include "supervise/chunk_decoder.h"

#include <cstring>

#include "platform/hot_path.h"
#include "protocol/utf8.h"

namespace zelta {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed sequence that `lead` starts, or 0 when no
// multi-byte sequence starts with it.
std::size_t sequence_length(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// True when `byte` may stand at `index` (1 to 3) of a sequence led by `lead`:
// the second byte's range excludes overlong forms, surrogates and code points
// above U+10FFFF.
bool continues(unsigned char lead, std::size_t index, unsigned char byte) {
  unsigned char low = 0x80, high = 0xBF;
  if (index == 1) {
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  }
  return byte >= low && byte <= high;
}

}  // namespace

ZELTA_HOT std::string_view decode_chunk(std::string_view bytes, std::string& scratch) {
  if (is_valid_utf8(bytes)) return bytes;
  scratch.clear();
  append_utf8_lossy(scratch, bytes);
  return scratch;
}

ZELTA_HOT std::size_t incomplete_tail(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t size = bytes.size();
  for (std::size_t back = 1; back <= 3 && back <= size; ++back) {
    const unsigned char lead = p[size - back];
    if ((lead & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    if (sequence_length(lead) <= back) return 0;
    for (std::size_t k = 1; k < back; ++k) {
      if (!continues(lead, k, p[size - back + k])) return 0;
    }
    return back;
  }
  return 0;
}

ZELTA_HOT ChunkDecoder::Text ChunkDecoder::decode(std::string_view bytes) {
  Text text;
  if (held_size_ > 0) {
    const auto lead = static_cast<unsigned char>(held_[0]);
    const std::size_t length = sequence_length(lead);
    std::size_t taken = 0;
    while (held_size_ + taken < length && taken < bytes.size() &&
           continues(lead, held_size_ + taken, static_cast<unsigned char>(bytes[taken]))) {
      ++taken;
    }
    if (held_size_ + taken < length && taken == bytes.size()) {
      // Still only the start of a character: nothing to show yet.
      if (taken > 0) std::memcpy(held_ + held_size_, bytes.data(), taken);
      held_size_ += taken;
      return text;
    }
    if (held_size_ + taken == length) {
      std::memcpy(head_, held_, held_size_);
      if (taken > 0) std::memcpy(head_ + held_size_, bytes.data(), taken);
      text.head = std::string_view(head_, length);
    } else {
      // The held bytes cannot be completed: they are one ill-formed part.
      text.head = kReplacement;
    }
    held_size_ = 0;
    bytes.remove_prefix(taken);
  }
  text.body = decode_body(bytes);
  return text;
}

ZELTA_HOT std::string_view ChunkDecoder::decode_body(std::string_view bytes) {
  const std::size_t tail = incomplete_tail(bytes);
  if (tail > 0) std::memcpy(held_, bytes.data() + bytes.size() - tail, tail);
  held_size_ = tail;
  return decode_chunk(bytes.substr(0, bytes.size() - tail), scratch_);
}

std::string_view ChunkDecoder::finish() {
  if (held_size_ == 0) return {};
  held_size_ = 0;
  return kReplacement;
}

}  // namespace zelta
