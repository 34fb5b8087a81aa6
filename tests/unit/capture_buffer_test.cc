// Captured streams: block storage, lossy UTF-8 repair as one stream, cuts.
#include "capture/capture_buffer.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <string>

#include "protocol/utf8.h"
#include "supervise/pipeline_run.h"

namespace zelta {
namespace {

// Feeds `bytes` to a buffer in pieces of at most `piece` bytes, as reads do.
CaptureBuffer feed(std::string_view bytes, std::size_t piece) {
  CaptureBuffer buffer;
  while (!bytes.empty() && buffer.holding()) {
    char* room = buffer.room();
    const std::size_t n = std::min({piece, buffer.room_size(), bytes.size()});
    std::memcpy(room, bytes.data(), n);
    buffer.commit(n);
    bytes.remove_prefix(n);
  }
  buffer.finish();
  return buffer;
}

TEST(IncompleteUtf8Tail, CountsOnlyUnfinishedSequences) {
  struct Case {
    std::string bytes;
    std::size_t tail;
  };
  const Case cases[] = {
      {"", 0},
      {"abc", 0},
      {"a\xC3", 1},             // two-byte lead alone
      {"a\xC3\xA9", 0},         // complete
      {"\xE2\x82", 2},          // three-byte lead plus one
      {"\xF0\x9F\x98", 3},      // four-byte lead plus two
      {"\xF0\x9F\x98\x80", 0},  // complete four-byte sequence
      {"\xFF", 0},              // cannot begin anything: left to the check
      {"\x80\x80\x80\x80", 0},  // stray continuations
      {"\xE0\x80", 2},          // overlong, but only the check can tell
  };
  for (const Case& c : cases) {
    EXPECT_EQ(incomplete_utf8_tail(c.bytes), c.tail) << testing::PrintToString(c.bytes);
  }
}

TEST(CaptureBuffer, IllFormedPartsBecomeReplacementsWhateverThePieces) {
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  struct Case {
    std::string bytes;
    std::string text;
  };
  const Case cases[] = {
      {"", ""},
      {"plain text\n", "plain text\n"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"bad \xFF byte", "bad " + r + " byte"},
      {"truncated at end \xE2\x82", "truncated at end " + r},
      {"stray \x80 continuation", "stray " + r + " continuation"},
      {"surrogate \xED\xA0\x80", "surrogate " + r + r + r},
      {"overlong \xC0\xAF", "overlong " + r + r},
      {"above max \xF4\x90\x80\x80", "above max " + r + r + r + r},
      {"cut \xF0\x9F\x98 then \xC3", "cut " + r + " then " + r},
  };
  for (const Case& c : cases) {
    for (std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{4096}}) {
      CaptureBuffer buffer = feed(c.bytes, piece);
      EXPECT_FALSE(buffer.truncated());
      EXPECT_EQ(buffer.to_string(), c.text) << testing::PrintToString(c.bytes) << " by " << piece;
      EXPECT_EQ(buffer.size(), c.bytes.size());
    }
  }
}

TEST(CaptureBuffer, SequencesCutByBlockEndsSurviveAndKeepOrder) {
  // Multi-byte sequences of every length, well-formed and not, in a stream
  // long enough to fill many blocks, so block ends fall inside them: the
  // repair must be that of the stream as a whole.
  const std::string good = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  const std::string bad =
      "\xF0\x9F\x98"
      "b\xE2\x82\xFF\x80\xC3";
  std::string clean;
  std::string mixed;
  for (int i = 0; clean.size() < 5 * 1024 * 1024; ++i) {
    clean += good;
    mixed += i % 7 == 0 ? bad : good;
  }
  for (std::size_t piece : {std::size_t{7}, std::size_t{65536}}) {
    EXPECT_TRUE(feed(clean, piece).to_string() == clean);
    EXPECT_TRUE(feed(mixed, piece).to_string() == utf8_lossy(mixed)) << piece;
  }
  // One bad byte at the very end costs that byte alone.
  EXPECT_TRUE(feed(clean + '\xFF', 65536).to_string() == clean + "\xEF\xBF\xBD");
}

TEST(CaptureBuffer, CutStreamKeepsWhatItHolds) {
  CaptureBuffer buffer;
  for (std::string_view piece : {std::string_view("kept "), std::string_view("ab\xC3")}) {
    std::memcpy(buffer.room(), piece.data(), piece.size());
    buffer.commit(piece.size());
  }
  buffer.stop_holding();
  buffer.discard(100);
  buffer.discard(23);
  buffer.finish();
  EXPECT_TRUE(buffer.truncated());
  EXPECT_EQ(buffer.discarded(), 123u);
  // The sequence cut by the cut is ill-formed like any other.
  EXPECT_EQ(buffer.to_string(), "kept ab\xEF\xBF\xBD");
}

TEST(CaptureBuffer, CutNoticeNamesStreamAndCounts) {
  EXPECT_EQ(
      output_cut_notice("stdout", 73400320, 5),
      "[zelta-stdio] stdout truncated: kept 73400320 bytes, dropped 5 bytes (out of memory)\n");
}

TEST(PipelineExitCode, ExitStatusOrOneForAnyOtherEnd) {
  EXPECT_EQ(pipeline_exit_code(0), 0u);
  EXPECT_EQ(pipeline_exit_code(3 << 8), 3u);
  EXPECT_EQ(pipeline_exit_code(255 << 8), 255u);
  EXPECT_EQ(pipeline_exit_code(SIGKILL), 1u);                // killed
  EXPECT_EQ(pipeline_exit_code(SIGSEGV | 0x80), 1u);         // killed, core dumped
  EXPECT_EQ(pipeline_exit_code((SIGSTOP << 8) | 0x7F), 1u);  // stopped
}

}  // namespace
}  // namespace zelta
