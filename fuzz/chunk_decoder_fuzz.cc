// Fuzz target: lossy decoding of one terminal read, checked against a plain
// byte-by-byte reference of the maximal-subpart rule.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "protocol/utf8.h"
#include "supervise/chunk_decoder.h"

namespace {

// Length of the well-formed sequence at `p`, or the length of its maximal
// ill-formed subpart negated (at least one byte), following the table of
// well-formed byte sequences.
int sequence_length(const unsigned char* p, std::size_t left) {
  const unsigned char b = p[0];
  if (b < 0x80) return 1;
  int need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    need = 1;
  } else if (b >= 0xE0 && b <= 0xEF) {
    need = 2;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    need = 3;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    return -1;
  }
  int taken = 1;
  for (int i = 0; i < need; ++i) {
    if (static_cast<std::size_t>(taken) >= left) return -taken;
    const unsigned char c = p[taken];
    if (c < lo || c > hi) return -taken;
    lo = 0x80;
    hi = 0xBF;
    ++taken;
  }
  return taken;
}

std::string reference(std::string_view bytes) {
  std::string out;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const int n = sequence_length(p + i, bytes.size() - i);
    if (n > 0) {
      out.append(bytes.substr(i, static_cast<std::size_t>(n)));
      i += static_cast<std::size_t>(n);
    } else {
      out += "\xEF\xBF\xBD";
      i += static_cast<std::size_t>(-n);
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string scratch = "stale";
  const std::string_view text = zelta::decode_chunk(bytes, scratch);
  const std::string expected = reference(bytes);
  if (text != expected) std::abort();
  if (!zelta::is_valid_utf8(text)) std::abort();
  if (zelta::is_valid_utf8(bytes) != (expected == bytes)) std::abort();
  if (zelta::utf8_lossy(bytes) != expected) std::abort();
  return 0;
}
