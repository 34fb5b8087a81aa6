#include "protocol/json_escape.h"

#include <array>

namespace zelta::json_detail {
namespace {

constexpr std::array<EscapeEntry, 256> make_escapes() {
  std::array<EscapeEntry, 256> table{};
  constexpr char kHex[] = "0123456789abcdef";
  for (int c = 0; c < 0x20; ++c) {
    EscapeEntry& e = table[c];
    e.text[0] = '\\';
    e.text[1] = 'u';
    e.text[2] = '0';
    e.text[3] = '0';
    e.text[4] = kHex[c >> 4];
    e.text[5] = kHex[c & 0xf];
    e.length = 6;
  }
  auto short_escape = [&table](unsigned char c, char letter) {
    table[c].text[0] = '\\';
    table[c].text[1] = letter;
    table[c].length = 2;
  };
  short_escape('\b', 'b');
  short_escape('\t', 't');
  short_escape('\n', 'n');
  short_escape('\f', 'f');
  short_escape('\r', 'r');
  short_escape('"', '"');
  short_escape('\\', '\\');
  return table;
}

constexpr std::array<EscapeEntry, 256> kTable = make_escapes();

}  // namespace

const EscapeEntry kEscapes[256] = {
#define ZELTA_E(i) kTable[i]
#define ZELTA_E4(i) ZELTA_E(i), ZELTA_E(i + 1), ZELTA_E(i + 2), ZELTA_E(i + 3)
#define ZELTA_E16(i) ZELTA_E4(i), ZELTA_E4(i + 4), ZELTA_E4(i + 8), ZELTA_E4(i + 12)
#define ZELTA_E64(i) ZELTA_E16(i), ZELTA_E16(i + 16), ZELTA_E16(i + 32), ZELTA_E16(i + 48)
    ZELTA_E64(0),
    ZELTA_E64(64),
    ZELTA_E64(128),
    ZELTA_E64(192),
#undef ZELTA_E64
#undef ZELTA_E16
#undef ZELTA_E4
#undef ZELTA_E
};

}  // namespace zelta::json_detail
