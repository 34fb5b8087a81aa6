// Base64 (RFC 4648, standard alphabet, padded) for the exact bytes of runs.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zelta {

/// Length of the padded encoding of `size` bytes.
constexpr std::size_t base64_length(std::size_t size) { return (size + 2) / 3 * 4; }

/// Encodes `size` bytes at `bytes` into `out`, which has room for
/// base64_length(size) characters; returns the number written.
std::size_t encode_base64(const unsigned char* bytes, std::size_t size, char* out);

/// Appends the encoding of `bytes` to `sink` (anything with
/// append(const char*, size_t)), through a small buffer on the stack.
template <class Sink>
void write_base64(Sink& sink, std::string_view bytes) {
  constexpr std::size_t kChunk = 3 * 1024;  // a multiple of 3: no padding inside
  char buffer[base64_length(kChunk)];
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  for (std::size_t at = 0; at < bytes.size(); at += kChunk) {
    const std::size_t n = bytes.size() - at < kChunk ? bytes.size() - at : kChunk;
    sink.append(buffer, encode_base64(data + at, n, buffer));
  }
}

/// The bytes `text` encodes; padding may be left out. Nullopt for any
/// character outside the alphabet (blanks included), a length that no
/// encoding has, or bits left over in the last character.
std::optional<std::string> decode_base64(std::string_view text);

}  // namespace zelta
