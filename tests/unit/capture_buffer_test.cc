// Captured streams: block storage and the whole-stream UTF-8 rule.
#include "launch/capture_buffer.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <string>

#include "supervise/pipeline_run.h"

namespace zelta {
namespace {

// Feeds `bytes` to a buffer in pieces of at most `piece` bytes, as reads do.
CaptureBuffer feed(std::string_view bytes, std::size_t piece) {
  CaptureBuffer buffer;
  while (!bytes.empty() && !buffer.dropped()) {
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

TEST(CaptureBuffer, WholeStreamRuleWhateverThePieces) {
  struct Case {
    std::string bytes;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"plain text\n", true},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", true},
      {"bad \xFF byte", false},
      {"truncated at end \xE2\x82", false},
      {"stray \x80 continuation", false},
      {"surrogate \xED\xA0\x80", false},
      {"overlong \xC0\xAF", false},
      {"above max \xF4\x90\x80\x80", false},
  };
  for (const Case& c : cases) {
    for (std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{4096}}) {
      CaptureBuffer buffer = feed(c.bytes, piece);
      EXPECT_EQ(!buffer.dropped(), c.valid) << testing::PrintToString(c.bytes) << " by " << piece;
      EXPECT_EQ(buffer.to_string(), c.valid ? c.bytes : "");
      EXPECT_EQ(buffer.size(), c.valid ? c.bytes.size() : 0u);
    }
  }
}

TEST(CaptureBuffer, SequencesCutByBlockEndsSurviveAndKeepOrder) {
  // Multi-byte sequences of every length, in a stream long enough to fill
  // many blocks, so block ends fall inside sequences.
  std::string unit = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  std::string bytes;
  while (bytes.size() < 5 * 1024 * 1024) bytes += unit;
  for (std::size_t piece : {std::size_t{7}, std::size_t{65536}}) {
    CaptureBuffer buffer = feed(bytes, piece);
    ASSERT_FALSE(buffer.dropped());
    EXPECT_TRUE(buffer.to_string() == bytes);
  }
  // One bad byte at the very end drops the whole stream.
  bytes += '\xFF';
  EXPECT_TRUE(feed(bytes, 65536).dropped());
  EXPECT_EQ(feed(bytes, 65536).size(), 0u);
}

TEST(CaptureBuffer, DroppedStreamKeepsNothing) {
  CaptureBuffer buffer = feed("\xFF", 1);
  ASSERT_TRUE(buffer.dropped());
  EXPECT_TRUE(buffer.take_blocks().empty());
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
