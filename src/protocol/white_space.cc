#include "protocol/white_space.h"

namespace zelta {
namespace {

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Decodes the well-formed character of `length` bytes at `p`.
char32_t decode_at(const unsigned char* p, int length) {
  if (length == 1) return p[0];
  char32_t c = p[0] & (0x7F >> length);
  for (int k = 1; k < length; ++k) c = (c << 6) | (p[k] & 0x3F);
  return c;
}

int sequence_length(unsigned char lead) {
  return lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
}

}  // namespace

std::string_view trim_white_space(std::string_view text) {
  auto bytes = [&] { return reinterpret_cast<const unsigned char*>(text.data()); };
  while (!text.empty()) {
    int length = sequence_length(bytes()[0]);
    if (static_cast<std::size_t>(length) > text.size() ||
        !is_white_space(decode_at(bytes(), length))) {
      break;
    }
    text.remove_prefix(static_cast<std::size_t>(length));
  }
  while (!text.empty()) {
    std::size_t start = text.size() - 1;
    while (start > 0 && (bytes()[start] & 0xC0) == 0x80) --start;
    int length = static_cast<int>(text.size() - start);
    if (length != sequence_length(bytes()[start]) ||
        !is_white_space(decode_at(bytes() + start, length))) {
      break;
    }
    text.remove_suffix(static_cast<std::size_t>(length));
  }
  return text;
}

}  // namespace zelta
