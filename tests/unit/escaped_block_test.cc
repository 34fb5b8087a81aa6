// Escaping captured blocks in bulk: same bytes as the general escaper.
#include "capture/escaped_block.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "protocol/json_escape.h"

namespace zelta {
namespace {

std::string reference_escape(std::string_view raw) {
  std::string out;
  StringSink sink{out};
  write_json_string_body(sink, raw);
  return out;
}

ByteBlock block_of(std::string_view bytes) {
  ByteBlock block = ByteBlock::allocate(bytes.size() + 1);
  std::memcpy(block.data(), bytes.data(), bytes.size());
  block.set_size(bytes.size());
  return block;
}

TEST(EscapeBlock, MatchesTheGeneralEscaperOnAnyBytes) {
  std::mt19937 random(42);
  for (int round = 0; round < 2000; ++round) {
    // Mostly plain text with escapes sprinkled in at every offset, so the
    // sixteen-byte steps meet escapes at every position and at the tail.
    const std::size_t length = round < 1000 ? round % 70 : random() % 5000;
    std::string raw(length, 'a');
    for (char& c : raw) {
      const unsigned pick = random() % 100;
      if (pick < 6)
        c = static_cast<char>(random() % 256);
      else if (pick < 8)
        c = '"';
      else if (pick < 10)
        c = '\\';
      else if (pick < 14)
        c = '\n';
      else
        c = static_cast<char>('a' + random() % 26);
    }
    const std::string expected = reference_escape(raw);
    const ByteBlock escaped = escape_block(raw);
    if (expected.size() > raw.size() + raw.size() / 4) continue;  // may not fit
    ASSERT_EQ(escaped.view(), expected) << "round " << round;
  }
}

TEST(EscapeBlock, TextThatGrowsTooMuchStaysRaw) {
  const std::string controls(4096, '\x01');  // six bytes each once escaped
  EXPECT_EQ(escape_block(controls).capacity(), 0u);
  HeldBlock held = hold_escaped(block_of(controls));
  EXPECT_FALSE(held.escaped);
  EXPECT_EQ(held.bytes.view(), controls);

  const std::string text = "line \"one\"\n";
  held = hold_escaped(block_of(text));
  EXPECT_TRUE(held.escaped);
  EXPECT_EQ(held.bytes.view(), "line \\\"one\\\"\\n");
  EXPECT_EQ(escape_block("").capacity(), 0u);
}

}  // namespace
}  // namespace zelta
