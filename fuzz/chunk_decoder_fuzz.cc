// Fuzz target: lossy decoding of terminal reads, one on its own and a stream
// cut into reads, checked against a plain byte-by-byte reference of the
// maximal-subpart rule.
#include <algorithm>
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

// Feeds `bytes` to one stream decoder in reads whose lengths come from
// `cuts` (each byte a length of 1 to 7, cycled), and checks that every piece
// is whole text, that what is held back is exactly the incomplete tail of the
// bytes read so far, and that the pieces and the end together are `expected`.
void check_stream(std::string_view bytes, std::string_view cuts, const std::string& expected) {
  zelta::ChunkDecoder decoder;
  std::string text;
  std::size_t at = 0;
  for (std::size_t k = 0; at < bytes.size(); ++k) {
    const auto cut = cuts.empty() ? 0 : static_cast<unsigned char>(cuts[k % cuts.size()]);
    // A high bit adds an empty read (a read that returned nothing new).
    if (cut & 0x80) text.append(decoder.decode({}).body);
    const std::size_t length = cuts.empty() ? bytes.size() : 1 + cut % 7;
    const std::string_view read = bytes.substr(at, length);
    at += read.size();
    const zelta::ChunkDecoder::Text piece = decoder.decode(read);
    if (!zelta::is_valid_utf8(piece.head) || !zelta::is_valid_utf8(piece.body)) std::abort();
    if (piece.empty() && !read.empty() && !decoder.holding()) std::abort();
    if (decoder.holding() != (zelta::incomplete_tail(bytes.substr(0, at)) > 0)) std::abort();
    text.append(piece.head).append(piece.body);
  }
  text.append(decoder.finish());
  if (decoder.holding() || text != expected) std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // The first byte says how many of the following bytes give read lengths.
  const std::size_t cut_count =
      input.empty()
          ? 0
          : std::min<std::size_t>(static_cast<unsigned char>(input[0]) % 16, input.size() - 1);
  const std::string_view cuts = input.substr(input.empty() ? 0 : 1, cut_count);
  const std::string_view bytes = input.substr(input.empty() ? 0 : 1 + cut_count);
  std::string scratch = "stale";
  const std::string_view text = zelta::decode_chunk(bytes, scratch);
  const std::string expected = reference(bytes);
  if (text != expected) std::abort();
  if (!zelta::is_valid_utf8(text)) std::abort();
  if (zelta::is_valid_utf8(bytes) != (expected == bytes)) std::abort();
  if (zelta::utf8_lossy(bytes) != expected) std::abort();
  check_stream(bytes, cuts, expected);
  return 0;
}
