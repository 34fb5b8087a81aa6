#include "capture/escaped_block.h"

#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include "protocol/json_escape.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zelta {
namespace {

// Room kept free at the end of the destination: a whole 16-byte store plus an
// 8-byte escape entry may be written past the bytes in use.
constexpr std::size_t kSlack = 24;

// Escapes [in, in_end) into [out, out_end) as a JSON string body (the same
// bytes write_json_string_body produces, from the same escape table).
// Returns the end of the escaped text, or null when it does not fit.
//
// This is the hot loop of large captures, so it does not go through a sink:
// it copies sixteen bytes at a time unconditionally and only then looks
// whether any of them needed an escape, which for ordinary text makes the
// copy and the scan one pass.
char* escape_into(const char* in, const char* in_end, char* out, char* out_end) {
  using json_detail::kEscapes;
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i below_space = _mm_set1_epi8(0x1F);
  while (in_end - in >= 16) {
    if (out_end - out < static_cast<std::ptrdiff_t>(kSlack)) return nullptr;
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), chunk);
    const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(chunk, below_space), below_space);
    const __m128i special =
        _mm_or_si128(_mm_cmpeq_epi8(chunk, quote), _mm_cmpeq_epi8(chunk, backslash));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(control, special)));
    if (mask == 0) {
      in += 16;
      out += 16;
      continue;
    }
    const int plain = __builtin_ctz(mask);
    in += plain;
    out += plain;
    const auto& entry = kEscapes[static_cast<unsigned char>(*in++)];
    std::memcpy(out, &entry, sizeof entry);  // the text and a byte beyond it
    out += entry.length;
  }
#endif
  while (in < in_end) {
    if (out_end - out < static_cast<std::ptrdiff_t>(kSlack)) return nullptr;
    const auto& entry = kEscapes[static_cast<unsigned char>(*in)];
    if (entry.length == 0) {
      *out++ = *in;
    } else {
      std::memcpy(out, &entry, sizeof entry);
      out += entry.length;
    }
    ++in;
  }
  return out;
}

static_assert(sizeof(json_detail::EscapeEntry) == 8, "an escape entry is copied whole");

}  // namespace

ByteBlock escape_block(std::string_view raw) {
  if (raw.empty()) return ByteBlock();
  ByteBlock escaped = ByteBlock::allocate(raw.size() + raw.size() / 4 + kSlack, true);
  if (escaped.capacity() == 0) return escaped;
  char* end = escape_into(raw.data(), raw.data() + raw.size(), escaped.data(),
                          escaped.data() + escaped.capacity());
  if (end == nullptr) return ByteBlock();
  escaped.set_size(static_cast<std::size_t>(end - escaped.data()));
  escaped.shrink_to_fit();
  return escaped;
}

HeldBlock hold_escaped(ByteBlock raw) {
  ByteBlock escaped = escape_block(raw.view());
  if (escaped.capacity() == 0) return HeldBlock{std::move(raw), false};
  return HeldBlock{std::move(escaped), true};
}

}  // namespace zelta
