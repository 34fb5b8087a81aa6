#include "protocol/base64.h"

#include <array>

namespace zelta {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<signed char, 256> make_values() {
  std::array<signed char, 256> values{};
  for (auto& v : values) v = -1;
  for (int i = 0; i < 64; ++i)
    values[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
  return values;
}

constexpr std::array<signed char, 256> kValues = make_values();

}  // namespace

std::size_t encode_base64(const unsigned char* bytes, std::size_t size, char* out) {
  char* const start = out;
  std::size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const unsigned v = (unsigned{bytes[i]} << 16) | (unsigned{bytes[i + 1]} << 8) | bytes[i + 2];
    out[0] = kAlphabet[v >> 18];
    out[1] = kAlphabet[(v >> 12) & 63];
    out[2] = kAlphabet[(v >> 6) & 63];
    out[3] = kAlphabet[v & 63];
    out += 4;
  }
  if (i < size) {
    const bool two = size - i == 2;
    const unsigned v = (unsigned{bytes[i]} << 16) | (two ? unsigned{bytes[i + 1]} << 8 : 0u);
    out[0] = kAlphabet[v >> 18];
    out[1] = kAlphabet[(v >> 12) & 63];
    out[2] = two ? kAlphabet[(v >> 6) & 63] : '=';
    out[3] = '=';
    out += 4;
  }
  return static_cast<std::size_t>(out - start);
}

std::optional<std::string> decode_base64(std::string_view text) {
  if (text.size() % 4 == 0 && !text.empty()) {
    // Up to two '=' at the very end.
    if (text.back() == '=') text.remove_suffix(1);
    if (text.back() == '=') text.remove_suffix(1);
  }
  if (text.size() % 4 == 1) return std::nullopt;
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3 + 2);
  unsigned bits = 0;
  int count = 0;
  for (const char c : text) {
    const int value = kValues[static_cast<unsigned char>(c)];
    if (value < 0) return std::nullopt;
    bits = (bits << 6) | static_cast<unsigned>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      bytes.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  // The bits below the last whole byte must be zero in a canonical encoding.
  if ((bits & ((1u << count) - 1)) != 0) return std::nullopt;
  return bytes;
}

}  // namespace zelta
