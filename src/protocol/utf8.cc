#include "protocol/utf8.h"

#include <cstdint>
#include <cstring>

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

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  auto p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto end = p + bytes.size();
  while (p < end) {
    p += ascii_prefix(p, end);
    if (p == end) break;
    const int n = sequence_at(p, end);
    if (n < 0) return false;
    p += n;
  }
  return true;
}

void append_utf8_lossy(std::string& out, std::string_view bytes) {
  static constexpr char kReplacement[] = "\xEF\xBF\xBD";
  auto p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto end = p + bytes.size();
  const unsigned char* run = p;  // start of bytes not yet copied
  while (p < end) {
    p += ascii_prefix(p, end);
    if (p == end) break;
    const int n = sequence_at(p, end);
    if (n > 0) {
      p += n;
      continue;
    }
    out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
    out.append(kReplacement, 3);
    p += -n;
    run = p;
  }
  out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  append_utf8_lossy(out, bytes);
  return out;
}

std::size_t utf8_lossy_size(std::string_view bytes) {
  auto p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto end = p + bytes.size();
  std::size_t size = bytes.size();
  while (p < end) {
    p += ascii_prefix(p, end);
    if (p == end) break;
    const int n = sequence_at(p, end);
    if (n > 0) {
      p += n;
    } else {
      size += 3 - static_cast<std::size_t>(-n);  // the subpart becomes U+FFFD
      p += -n;
    }
  }
  return size;
}

char* write_utf8_lossy(std::string_view bytes, char* out) {
  auto p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto end = p + bytes.size();
  const unsigned char* run = p;  // start of bytes not yet copied
  auto copy_run = [&] {
    std::memcpy(out, run, static_cast<std::size_t>(p - run));
    out += p - run;
  };
  while (p < end) {
    p += ascii_prefix(p, end);
    if (p == end) break;
    const int n = sequence_at(p, end);
    if (n > 0) {
      p += n;
      continue;
    }
    copy_run();
    std::memcpy(out, "\xEF\xBF\xBD", 3);
    out += 3;
    p += -n;
    run = p;
  }
  copy_run();
  return out;
}

}  // namespace zelta
