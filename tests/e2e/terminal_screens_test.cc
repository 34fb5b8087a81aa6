// Real programs in a real terminal (tmux), run once directly and once through stdio_client:
// the two screens must be identical after the program settles, after keys and after exit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "screen_pair.h"

namespace zelta::testing {
namespace {

class ScreensMatch : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TmuxSession::available()) GTEST_SKIP() << "tmux is not installed";
  }
};

TEST_F(ScreensMatch, InteractiveShell) {
  ScreenPair pair(80, 24);
  pair.start("exec sh -i");
  ASSERT_TRUE(pair.same_screens("$"));
  const std::vector<std::pair<std::string, std::string>> lines = {
      {"echo $((6 * 7)) 'answers ─ ü'", "42 answers ─ ü"},
      {"printf '\\033[1;31mred\\033[0m \\033[7mreverse\\033[0m\\n'", "reverse"},
      {"seq 1 40", "\n40\n"},
      {"printf '%0150d\\n' 7", "0007\n"},
      {"printf 'no newline'", "no newline$"},
      {"exit 3", "[exit 3]"}};
  for (const auto& [line, needle] : lines) {
    pair.type(line);
    pair.press("Enter");
    ASSERT_TRUE(pair.same_screens(needle)) << "after " << line;
  }
}

}  // namespace
}  // namespace zelta::testing
