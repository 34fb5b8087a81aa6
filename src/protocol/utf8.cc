#include "protocol/utf8.h"

#include <cstdint>
#include <cstring>

#include "platform/hot_path.h"

namespace zelta {
namespace {

// Length of the well-formed sequence starting at p (1 to 4), or the length of
// the maximal ill-formed subpart there, negated (-1 to -3).
int sequence_at(const unsigned char* p, const unsigned char* end) {
  const unsigned char lead = p[0];
  if (lead < 0x80) return 1;
  int length;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return -1;
  }
  int taken = 1;
  for (; taken < length; ++taken) {
    if (p + taken >= end) return -taken;
    const unsigned char c = p[taken];
    const unsigned char lo = taken == 1 ? low : 0x80;
    const unsigned char hi = taken == 1 ? high : 0xBF;
    if (c < lo || c > hi) return -taken;
  }
  return length;
}

// Number of leading ASCII bytes, eight at a time.
std::size_t ascii_prefix(const unsigned char* p, const unsigned char* end) {
  const unsigned char* start = p;
  while (end - p >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    if (word & 0x8080808080808080ull) break;
    p += 8;
  }
  while (p < end && *p < 0x80) ++p;
  return static_cast<std::size_t>(p - start);
}

// Calls ill_formed(offset, length) for each maximal ill-formed subpart of
// `bytes`, in order, until it returns false. Every lossy operation below is
// this one walk with a different action per subpart.
template <typename OnIllFormed>
void scan_ill_formed(std::string_view bytes, OnIllFormed&& ill_formed) {
  const auto begin = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto end = begin + bytes.size();
  auto p = begin;
  while (p < end) {
    p += ascii_prefix(p, end);
    if (p == end) break;
    const int n = sequence_at(p, end);
    if (n > 0) {
      p += n;
      continue;
    }
    if (!ill_formed(static_cast<std::size_t>(p - begin), static_cast<std::size_t>(-n))) return;
    p += -n;
  }
}

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

}  // namespace

ZELTA_HOT bool is_valid_utf8(std::string_view bytes) {
  bool valid = true;
  scan_ill_formed(bytes, [&](std::size_t, std::size_t) { return valid = false; });
  return valid;
}

void append_utf8_lossy(std::string& out, std::string_view bytes) {
  std::size_t copied = 0;
  scan_ill_formed(bytes, [&](std::size_t at, std::size_t length) {
    out.append(bytes.substr(copied, at - copied));
    out.append(kReplacement);
    copied = at + length;
    return true;
  });
  out.append(bytes.substr(copied));
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  append_utf8_lossy(out, bytes);
  return out;
}

std::size_t utf8_lossy_size(std::string_view bytes) {
  std::size_t size = bytes.size();
  scan_ill_formed(bytes, [&](std::size_t, std::size_t length) {
    size += kReplacement.size() - length;  // a subpart is 1 to 3 bytes
    return true;
  });
  return size;
}

char* write_utf8_lossy(std::string_view bytes, char* out) {
  std::size_t copied = 0;
  auto copy = [&](std::string_view piece) {
    if (piece.empty()) return;
    std::memcpy(out, piece.data(), piece.size());
    out += piece.size();
  };
  scan_ill_formed(bytes, [&](std::size_t at, std::size_t length) {
    copy(bytes.substr(copied, at - copied));
    copy(kReplacement);
    copied = at + length;
    return true;
  });
  copy(bytes.substr(copied));
  return out;
}

}  // namespace zelta
