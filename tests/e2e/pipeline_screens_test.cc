// Pipelines typed at stdio_client run on a terminal of their own: in tmux, the same
// command line run by sh in one window and split and sent by the client in another
// must leave the same screen (pagers page, editors read the pipe and the terminal,
// members read typed input, Ctrl-C stops every member).
#include <gtest/gtest.h>

#include <string>

#include "screen_pair.h"

namespace zelta::testing {
namespace {

class PipelineScreens : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TmuxSession::available()) GTEST_SKIP() << "tmux is not installed";
  }
};

TEST_F(PipelineScreens, FilterChainEndsWithTheSameLines) {
  ScreenPair pair(80, 24);
  pair.start_line("seq 1 100000 | grep 7 | tail -n 3");
  ASSERT_TRUE(pair.same_screens("[exit 0]"));
  EXPECT_NE(pair.direct().screen().find("99997"), std::string::npos);
}

TEST_F(PipelineScreens, PagerAtTheEndPagesColouredOutputAndQuits) {
  if (!have_program("less")) GTEST_SKIP() << "less is not installed";
  ScreenPair pair(80, 24);
  pair.start_line("ls --color=always / | less -R");
  ASSERT_TRUE(pair.same_screens("bin"));
  pair.type("q");
  ASSERT_TRUE(pair.same_screens("[exit 0]"));
}

TEST_F(PipelineScreens, EditorReadsThePipeAndTalksToTheTerminal) {
  if (!have_program("vim")) GTEST_SKIP() << "vim is not installed";
  ScreenPair pair(80, 24);
  pair.start_line("printf 'a\\nb\\n' | vim -u NONE -N -i NONE -n -");
  ASSERT_TRUE(pair.same_screens("~"));
  pair.type("ddp");
  ASSERT_TRUE(pair.same_screens("~"));
  pair.type(":q!");
  pair.press("Enter");
  ASSERT_TRUE(pair.same_screens("[exit 0]"));
}

TEST_F(PipelineScreens, FirstMemberReadsTypedInput) {
  ScreenPair pair(80, 24);
  // Typed only once the job shows it is reading: keys sent earlier meet the
  // client's terminal before it is raw, and are echoed twice.
  pair.start_line("sh -c 'echo ready; read x; echo got $x' | tr a-z A-Z");
  ASSERT_TRUE(pair.same_screens("READY"));
  pair.type("hello");
  ASSERT_TRUE(pair.same_screens("hello"));
  pair.press("Enter");
  ASSERT_TRUE(pair.same_screens("[exit 0]"));
  EXPECT_NE(pair.direct().screen().find("GOT HELLO"), std::string::npos);
}

TEST_F(PipelineScreens, CtrlCStopsEveryMember) {
  // The flood of lines differs in length between the two windows; what must match
  // is the outcome: both pipelines end by SIGINT.
  ScreenPair pair(80, 24);
  pair.start_line("yes | cat");
  ASSERT_TRUE(pair.direct().wait_for("y\ny\ny")) << pair.direct().last_screen();
  ASSERT_TRUE(pair.client().wait_for("y\ny\ny")) << pair.client().last_screen();
  pair.press("C-c");
  EXPECT_TRUE(pair.direct().wait_for("[exit 130]")) << pair.direct().last_screen();
  EXPECT_TRUE(pair.client().wait_for("[exit 130]")) << pair.client().last_screen();
}

}  // namespace
}  // namespace zelta::testing
