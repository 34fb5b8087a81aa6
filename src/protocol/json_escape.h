// JSON string escaping into any byte sink, copying runs of plain bytes at once.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zelta {

namespace json_detail {

/// Escape text for each byte: empty for bytes written as they are.
struct EscapeEntry {
  char text[7];
  std::uint8_t length;
};
extern const EscapeEntry kEscapes[256];

/// Length of the prefix of [p, end) that needs no escaping. Looks at sixteen
/// (or eight) bytes at a time: a byte needs escaping when it is below 0x20, '"' or '\\'.
inline std::size_t plain_prefix(const char* p, const char* end) {
  const char* start = p;
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i below_space = _mm_set1_epi8(0x1F);
  while (end - p >= 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // max(c, 0x1F) == 0x1F exactly when c <= 0x1F, compared unsigned.
    const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(chunk, below_space), below_space);
    const __m128i special =
        _mm_or_si128(_mm_cmpeq_epi8(chunk, quote), _mm_cmpeq_epi8(chunk, backslash));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(control, special)));
    if (mask != 0) return static_cast<std::size_t>(p - start) + __builtin_ctz(mask);
    p += 16;
  }
#endif
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  while (end - p >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    const std::uint64_t below_space = (word - kOnes * 0x20) & ~word;
    const std::uint64_t quote = word ^ (kOnes * '"');
    const std::uint64_t backslash = word ^ (kOnes * '\\');
    const std::uint64_t is_quote = (quote - kOnes) & ~quote;
    const std::uint64_t is_backslash = (backslash - kOnes) & ~backslash;
    if ((below_space | is_quote | is_backslash) & kHigh) break;
    p += 8;
  }
  while (p < end && kEscapes[static_cast<unsigned char>(*p)].length == 0) ++p;
  return static_cast<std::size_t>(p - start);
}

/// The value of the four hex digits at `p` (advanced past them), or -1 when
/// they are not there: the digits of a "\\u" escape.
inline long hex4(const char*& p, const char* end) {
  if (end - p < 4) return -1;
  long value = 0;
  for (int i = 0; i < 4; ++i) {
    const char c = *p++;
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return -1;
    }
    value = value * 16 + digit;
  }
  return value;
}

/// Appends code point `code` to `out` in UTF-8.
inline void append_utf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

}  // namespace json_detail

/// Writes the bytes of `text` escaped as a JSON string body (without the
/// surrounding quotes) to `sink`, which must offer append(const char*, size_t).
/// Quotation mark and backslash get a backslash; 0x08, 0x09, 0x0A, 0x0C and
/// 0x0D the short escapes; other bytes below 0x20 "\u00XX" in lower case.
/// Everything else, including 0x7F and non-ASCII bytes, passes unchanged.
template <class Sink>
void write_json_string_body(Sink& sink, std::string_view text) {
  const char* p = text.data();
  const char* const end = p + text.size();
  while (p < end) {
    const std::size_t run = json_detail::plain_prefix(p, end);
    if (run != 0) {
      sink.append(p, run);
      p += run;
      if (p == end) break;
    }
    const auto& entry = json_detail::kEscapes[static_cast<unsigned char>(*p)];
    sink.append(entry.text, entry.length);
    ++p;
  }
}

/// As write_json_string_body, between quotation marks.
template <class Sink>
void write_json_string(Sink& sink, std::string_view text) {
  sink.append("\"", 1);
  write_json_string_body(sink, text);
  sink.append("\"", 1);
}

/// Sink adaptor that appends to a std::string.
struct StringSink {
  std::string& out;
  void append(const char* data, std::size_t size) { out.append(data, size); }
};

/// Appends `text` as a quoted JSON string to `out`.
inline void append_json_string(std::string& out, std::string_view text) {
  StringSink sink{out};
  write_json_string(sink, text);
}

}  // namespace zelta
