// Chunk decoding, exit codes and the pure rules of control requests.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <string>
#include <vector>

#include "protocol/utf8.h"
#include "protocol/white_space.h"
#include "supervise/chunk_decoder.h"
#include "supervise/control.h"
#include "supervise/exit_report.h"

namespace zelta {
namespace {

TEST(DecodeChunk, ReplacesMaximalIllFormedSubparts) {
  struct Case {
    std::string bytes, text;
  };
  const std::string r = "\xEF\xBF\xBD";
  const Case cases[] = {
      {"", ""},
      {"plain\r\n", "plain\r\n"},
      {std::string("nul\0bel\x07", 8), std::string("nul\0bel\x07", 8)},
      {"a\xFF"
       "b",
       "a" + r + "b"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"caf\xC3", "caf" + r},    // truncated at the end: one
      {"\xA9tail", r + "tail"},  // stray continuation
      {"\xE2\x82", r},           // truncated three-byte form
      {"\xE2\x82"
       "x",
       r + "x"},
      {"\x80\x80", r + r},                  // each stray byte
      {"\xC0\xAF", r + r},                  // overlong
      {"\xED\xA0\x80", r + r + r},          // surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
  };
  std::string scratch;
  for (const Case& c : cases) EXPECT_EQ(decode_chunk(c.bytes, scratch), c.text);
}

TEST(DecodeChunk, ValidTextIsNotCopied) {
  std::string scratch;
  std::string bytes = "no copy needed";
  EXPECT_EQ(decode_chunk(bytes, scratch).data(), bytes.data());
}

TEST(IncompleteTail, OnlyAStartThatCanStillBecomeACharacter) {
  struct Case {
    std::string bytes;
    std::size_t tail;
  };
  const Case cases[] = {
      {"", 0},
      {"abc", 0},
      {"a\xC3", 1},
      {"\xE2\x94", 2},
      {"x\xF0\x9F\x98", 3},
      {"\xF0\x9F\x98\x80", 0},  // complete
      {"\xC3\xA9", 0},
      {"\xE0\x80", 0},  // overlong: never a character
      {"\xED\xA0", 0},  // surrogate
      {"\xF0\x8F", 0},  // overlong four-byte form
      {"\xF4\x90", 0},  // above U+10FFFF
      {"\xC0", 0},
      {"\xC1", 0},
      {"\xF5", 0},
      {"\xFF", 0},
      {"\x80\x80\x80", 0},
      {"\xE2\x94\x80\x80", 0},
      {"\xF0\x9F\x98\x80\xE2", 1},
  };
  for (const Case& c : cases) EXPECT_EQ(incomplete_tail(c.bytes), c.tail) << c.bytes;
}

// Feeds `pieces` through one decoder; the concatenated text, with "|" after
// each piece that produced an event.
std::string decode_pieces(const std::vector<std::string>& pieces) {
  ChunkDecoder decoder;
  std::string text;
  for (const std::string& piece : pieces) {
    const ChunkDecoder::Text t = decoder.decode(piece);
    EXPECT_TRUE(is_valid_utf8(t.head) && is_valid_utf8(t.body));
    if (!t.empty()) text.append(t.head).append(t.body).append("|");
  }
  const std::string_view last = decoder.finish();
  if (!last.empty()) text.append(last).append("|");
  EXPECT_FALSE(decoder.holding());
  return text;
}

TEST(ChunkDecoder, CharactersSplitBetweenReadsArriveWhole) {
  const std::string r = "\xEF\xBF\xBD";
  struct Case {
    std::vector<std::string> pieces;
    std::string text;
  };
  const Case cases[] = {
      {{"caf\xC3", "\xA9!"}, "caf|\xC3\xA9!|"},
      {{"\xE2", "\x94", "\x80"}, "\xE2\x94\x80|"},  // only starts: no event until complete
      {{"\xF0\x9F", "\x98\x80x"}, "\xF0\x9F\x98\x80x|"},
      {{"a\xE2\x94", ""}, "a|" + r + "|"},    // an empty read changes nothing
      {{"a\xE2\x94", "b"}, "a|" + r + "b|"},  // cannot be completed
      {{"\xE0", "\x80"}, r + r + "|"},        // overlong once joined
      {{"\xF0\x9F\x98", "\xE2\x94"}, r + "|" + r + "|"},
      {{"x\xF0\x9F"}, "x|" + r + "|"},  // cut off at the end: one U+FFFD
      {{"\xC3"}, r + "|"},
      {{"\xFF\xC3", "\xA9\x80"}, r + "|\xC3\xA9" + r + "|"},
  };
  for (const Case& c : cases) EXPECT_EQ(decode_pieces(c.pieces), c.text) << c.text;
}

TEST(ChunkDecoder, EverySplitDecodesAsTheWholeStream) {
  const std::string samples[] = {
      "\xC3\xA9\xE2\x94\x80\xE4\xB8\xAD\xF0\x9F\x98\x80\r\n",
      "a\xFF\xC3\x28\xE2\x82\xF0\x9F\x98\xED\xA0\x80\xF4\x90\x80\x80\xC0\xAFz",
      "\xE0\xA0\x80\xEF\xBF\xBF\xF4\x8F\xBF\xBF\xF0\x90\x80\x80\x80",
  };
  for (const std::string& whole : samples) {
    std::string expected = utf8_lossy(whole);
    for (std::size_t i = 0; i <= whole.size(); ++i) {
      for (std::size_t j = i; j <= whole.size(); ++j) {
        std::string text =
            decode_pieces({whole.substr(0, i), whole.substr(i, j - i), whole.substr(j)});
        text.erase(std::remove(text.begin(), text.end(), '|'), text.end());
        ASSERT_EQ(text, expected) << "split at " << i << " and " << j;
      }
    }
  }
}

TEST(ChunkDecoder, WholeTextIsNotCopied) {
  ChunkDecoder decoder;
  const std::string bytes = "no copy \xE2\x94\x80 needed\xE2";
  const ChunkDecoder::Text text = decoder.decode(bytes);
  EXPECT_TRUE(text.head.empty());
  EXPECT_EQ(text.body.data(), bytes.data());
  EXPECT_EQ(text.body.size(), bytes.size() - 1);
  EXPECT_TRUE(decoder.holding());
}

TEST(PtyExitCode, ExitStatusOrSignalPlus128) {
  EXPECT_EQ(pty_exit_code(0), 0);
  EXPECT_EQ(pty_exit_code(3 << 8), 3);
  EXPECT_EQ(pty_exit_code(255 << 8), 255);
  EXPECT_EQ(pty_exit_code(SIGINT), 130);
  EXPECT_EQ(pty_exit_code(SIGKILL), 137);
  EXPECT_EQ(pty_exit_code(SIGTERM), 143);
  EXPECT_EQ(pty_exit_code(SIGSEGV | 0x80), 139);  // core dumped
}

TEST(ControlRules, SignalNamesAreExact) {
  EXPECT_EQ(control_signal(std::nullopt), SIGINT);
  EXPECT_EQ(control_signal("INT"), SIGINT);
  EXPECT_EQ(control_signal("KILL"), SIGKILL);
  EXPECT_EQ(control_signal("TERM"), SIGTERM);
  EXPECT_EQ(control_signal("kill"), SIGINT);
  EXPECT_EQ(control_signal("HUP"), SIGINT);
  EXPECT_EQ(control_signal("KILL "), SIGINT);
}

TEST(ControlRules, FlushBudgetDefaultsAndCaps) {
  using std::chrono::milliseconds;
  EXPECT_EQ(flush_budget(std::nullopt), milliseconds(50));
  EXPECT_EQ(flush_budget(0), milliseconds(0));
  EXPECT_EQ(flush_budget(1200), milliseconds(1200));
  EXPECT_EQ(flush_budget(60000), milliseconds(3000));
  EXPECT_EQ(flush_budget(UINT64_MAX), milliseconds(3000));
}

TEST(ControlRules, TrimsUnicodeWhiteSpaceOnly) {
  struct Case {
    std::string text, trimmed;
  };
  const Case cases[] = {
      {"", ""},
      {" \t\r\n", ""},
      {"{\"a\":1}\r\n", "{\"a\":1}"},
      {"\xC2\xA0{}\xE3\x80\x80", "{}"},      // no-break space, ideographic space
      {"\xE2\x80\xA8{}\xC2\x85", "{}"},      // line separator, next line
      {"\xE2\x80\x8B{}", "\xE2\x80\x8B{}"},  // zero-width space is not White_Space
      {" a b ", "a b"},
      {"\xC3\xA9", "\xC3\xA9"},
  };
  for (const Case& c : cases) EXPECT_EQ(trim_white_space(c.text), c.trimmed) << c.text;
}

}  // namespace
}  // namespace zelta
