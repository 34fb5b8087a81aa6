// The client in a real terminal (a tmux window): raw keystrokes, Ctrl-C, window size
// and its changes, an interactive shell inside the run, and the terminal's modes after
// the client ends.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "client_runner.h"
#include "executor_process.h"
#include "scratch_dir.h"
#include "tmux_session.h"

namespace zelta::testing {
namespace {

class ClientInTerminal : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TmuxSession::available()) GTEST_SKIP() << "tmux is not installed";
  }
  // `client_args` run in a window whose shell afterwards reports the client's exit
  // status and whether the terminal's modes equal those from before it started.
  static std::string framed(const std::string& client_args) {
    return "stty -g > /tmp/zelta-tty-before.$$; " + sh_quote(client_path()) + " " + client_args +
           "; echo \"status=$?\"; stty -g | cmp -s - /tmp/zelta-tty-before.$$ && echo "
           "modes-restored; rm -f /tmp/zelta-tty-before.$$; sleep 600";
  }
};

TEST_F(ClientInTerminal, KeystrokesReachTheCommandAndCtrlCInterruptsIt) {
  TmuxSession tmux(framed(sh_quote("sh -c 'echo ready; exec cat'")), 100, 30);
  ASSERT_TRUE(tmux.wait_for("ready")) << tmux.last_screen();
  tmux.type("hello there");
  tmux.press("Enter");
  // Once echoed by the command's terminal, once written back by cat.
  ASSERT_TRUE(tmux.wait_for("hello there", 2)) << tmux.last_screen();
  tmux.press("C-c");
  ASSERT_TRUE(tmux.wait_for("modes-restored")) << tmux.last_screen();
  EXPECT_NE(tmux.last_screen().find("status=130"), std::string::npos) << tmux.last_screen();
}

TEST_F(ClientInTerminal, InteractiveModeRunsShellsPipelinesAndSurvivesAnInterruptedPipeline) {
  TmuxSession tmux(framed(""), 100, 30);
  ASSERT_TRUE(tmux.wait_for("zelta$")) << tmux.last_screen();
  // The command's terminal has the size of the user's.
  tmux.type("stty size");
  tmux.press("Enter");
  ASSERT_TRUE(tmux.wait_for("30 100")) << tmux.last_screen();

  tmux.type("env 'PS1=in-sh> ' sh");
  tmux.press("Enter");
  ASSERT_TRUE(tmux.wait_for("in-sh>")) << tmux.last_screen();
  tmux.type("echo $((6 * 7)) 'in sh'");
  tmux.press("Enter");
  ASSERT_TRUE(tmux.wait_for("42 in sh")) << tmux.last_screen();
  tmux.type("exit 3");
  tmux.press("Enter");
  ASSERT_TRUE(tmux.wait_for("zelta$", 3)) << tmux.last_screen();

  tmux.type("printf 'a\\nb\\nc\\n' | wc -l");
  tmux.press("Enter");
  ASSERT_TRUE(tmux.wait_for("zelta$", 4)) << tmux.last_screen();
  EXPECT_NE(tmux.last_screen().find("\n3\n"), std::string::npos) << tmux.last_screen();

  // A pipeline cannot be controlled over the protocol: Ctrl-C stops it together with
  // its executor, and the next line gets a new executor. Its first member leaves a
  // mark once it runs: a Ctrl-C before that would only clear the line being read.
  ScratchDir marks;
  const std::string running = marks.path + "/running";
  tmux.type("sh -c 'touch " + running + "; exec sleep 600' | cat");
  tmux.press("Enter");
  ASSERT_TRUE(eventually([&] { return ::access(running.c_str(), F_OK) == 0; })) << tmux.screen();
  tmux.press("C-c");
  ASSERT_TRUE(tmux.wait_for("zelta$", 5)) << tmux.last_screen();
  tmux.type("echo still 'here'");
  tmux.press("Enter");
  ASSERT_TRUE(tmux.wait_for("still here")) << tmux.last_screen();
  ASSERT_TRUE(tmux.wait_for("zelta$", 6)) << tmux.last_screen();

  tmux.type("exit 5");
  tmux.press("Enter");
  ASSERT_TRUE(tmux.wait_for("modes-restored")) << tmux.last_screen();
  EXPECT_NE(tmux.last_screen().find("status=5"), std::string::npos) << tmux.last_screen();
}

TEST_F(ClientInTerminal, WindowResizeReachesTheCommandAndItRedraws) {
  // vim's status line shows the size vim believes its terminal has (no start-up file
  // and no history file: nothing read from or written to the user's home).
  TmuxSession tmux(
      framed(sh_quote(
          "vim -u NONE -N -i NONE -c 'set laststatus=2 statusline=size=%{&lines}x%{&columns}'")),
      80, 24);
  ASSERT_TRUE(tmux.wait_for("size=24x80")) << tmux.last_screen();
  struct Step {
    int cols, rows;
  };
  for (const Step step : {Step{100, 30}, Step{60, 12}, Step{120, 40}}) {
    tmux.resize(step.cols, step.rows);
    const std::string size = std::to_string(step.rows) + "x" + std::to_string(step.cols);
    ASSERT_TRUE(tmux.wait_for("size=" + size)) << tmux.last_screen();
    // Redrawn to fill the window: every row but the text line, the status line and
    // the command line shows an empty line's "~".
    ASSERT_TRUE(tmux.wait_for("~", step.rows - 3)) << tmux.last_screen();
  }
  tmux.type(":q!");
  tmux.press("Enter");
  ASSERT_TRUE(tmux.wait_for("modes-restored")) << tmux.last_screen();
  EXPECT_NE(tmux.last_screen().find("status=0"), std::string::npos) << tmux.last_screen();
}

TEST_F(ClientInTerminal, TerminationSignalEndsTheCommandAndRestoresTheTerminal) {
  // The command shows the client's pid: the parent of its parent, the executor.
  TmuxSession tmux(framed(sh_quote("sh -c 'echo client=$(cut -d\" \" -f4 /proc/$PPID/stat)=; "
                                   "exec sleep 600'")),
                   80, 24);
  // The whole pid, up to its closing "=": the line may be drawn in pieces.
  const std::regex shown("client=([0-9]+)=");
  std::smatch found;
  std::string screen;
  ASSERT_TRUE(eventually([&] {
    screen = tmux.screen();
    return std::regex_search(screen, found, shown);
  })) << screen;
  const pid_t client = std::stoi(found[1].str());
  ASSERT_GT(client, 1);
  // SIGTERM to the client becomes "run.signal" TERM for the command: 128 + 15.
  ASSERT_EQ(kill(client, SIGTERM), 0);
  ASSERT_TRUE(tmux.wait_for("modes-restored")) << tmux.last_screen();
  EXPECT_NE(tmux.last_screen().find("status=143"), std::string::npos) << tmux.last_screen();
}

TEST_F(ClientInTerminal, KeysGoToTheForegroundRunWhileABackgroundRunGoesOn) {
  ScratchDir scratch;
  const std::string log = scratch.path + "/sent";
  const std::string fake =
      std::string(ZELTA_SOURCE_DIR) + "/tests/e2e/support/fake_concurrent_executor.py";
  TmuxSession tmux(
      "export ZELTA_FAKE_LOG=" + sh_quote(log) + "; " + framed("--executor " + sh_quote(fake)), 100,
      30);
  ASSERT_TRUE(tmux.wait_for("zelta$")) << tmux.last_screen();
  tmux.type("hang &");
  tmux.press("Enter");
  ASSERT_TRUE(tmux.wait_for("[1]\nzelta$")) << tmux.last_screen();
  // The fake writes its arguments at the start and ends at Ctrl-D, typed here.
  tmux.type("echo typed");
  tmux.press("Enter");
  ASSERT_TRUE(tmux.wait_for("typed", 2)) << tmux.last_screen();
  tmux.press("C-d");
  ASSERT_TRUE(tmux.wait_for("zelta$", 3)) << tmux.last_screen();
  tmux.type("jobs");
  tmux.press("Enter");
  ASSERT_TRUE(tmux.wait_for("[1]+ Running  hang")) << tmux.last_screen();
  tmux.type("exit");
  tmux.press("Enter");
  ASSERT_TRUE(tmux.wait_for("modes-restored")) << tmux.last_screen();
  std::ifstream file(log);
  const std::string sent((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  // Ctrl-D went to the foreground run; the background one got only the end of file
  // typed at its start, and TERM when the client left.
  EXPECT_NE(sent.find(R"({"type":"stdin.write","run_id":"r2","data":"\u0004"})"), std::string::npos)
      << sent;
  const std::string background_eof = R"({"type":"stdin.write","run_id":"r1","data":"\u0004"})";
  const std::size_t first_eof = sent.find(background_eof);
  ASSERT_NE(first_eof, std::string::npos) << sent;
  EXPECT_EQ(sent.find(background_eof, first_eof + 1), std::string::npos) << sent;
  EXPECT_NE(sent.find(R"({"type":"run.signal","run_id":"r1","signal":"TERM"})"), std::string::npos)
      << sent;
}

}  // namespace
}  // namespace zelta::testing
