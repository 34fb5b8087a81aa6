// Chunk decoding, exit codes and the pure rules of control requests.
#include <gtest/gtest.h>
#include <signal.h>

#include "supervise/chunk_decoder.h"
#include "supervise/control.h"

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
