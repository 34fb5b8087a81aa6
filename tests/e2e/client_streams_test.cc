// The client without a terminal: pipelines, terminal runs fed from a pipe, error
// replies, refused command lines, the trace and the interactive mode reading a script.
#include <gtest/gtest.h>

#include <string>

#include "client_runner.h"

namespace zelta::testing {
namespace {

TEST(ClientStreams, PipelineOutputGoesToTheClientsStreamsAndTheLastStatusIsPassedOn) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
    std::string err;
    int status;
  };
  const Case cases[] = {
      {{"printf hi | tr a-z A-Z"}, "HI", "", 0},
      {{"printf", "hi", "|", "tr", "a-z", "A-Z"}, "HI", "", 0},
      {{"printf x | sh -c 'cat; echo oops >&2; exit 3'"}, "x", "oops\n", 3},
      // The second member writes once the first has ended (its cat sees the
      // end of the pipe), so the two members' errors come in one order.
      {{"sh -c 'echo first >&2; exit 9' | sh -c 'cat; echo second >&2'"}, "", "first\nsecond\n", 0},
      {{"printf '%s|%s' \"a  b\" '$HOME *' | cat"}, "a  b|$HOME *", "", 0},
  };
  for (const auto& c : cases) {
    const ClientResult result = run_client(c.args);
    EXPECT_EQ(result.out, c.out) << c.args[0];
    EXPECT_EQ(result.err, c.err) << c.args[0];
    EXPECT_EQ(result.status, c.status) << c.args[0];
  }
}

TEST(ClientStreams, TerminalRunFromAPipeGetsTheBytesThenEndOfFile) {
  // The command's terminal echoes the input and cat writes it back, both with CR LF.
  ClientResult cat = run_client({"cat"}, "one\ntwo\n");
  EXPECT_EQ(cat.out, "one\r\ntwo\r\none\r\ntwo\r\n");
  EXPECT_EQ(cat.status, 0);
  // Input without a final line end is handed over by a first Ctrl-D, ended by a second.
  ClientResult wc = run_client({"wc -c"}, "abc");
  EXPECT_NE(wc.out.find("3\r\n"), std::string::npos) << wc.out;
  EXPECT_EQ(wc.status, 0);
}

TEST(ClientStreams, TerminalRunStatusIsTheCommandsOwn) {
  EXPECT_EQ(run_client({"sh -c 'exit 7'"}).status, 7);
  EXPECT_EQ(run_client({"sh -c 'kill -TERM $$'"}).status, 143);
  const ClientResult missing = run_client({"no-such-program-zelta"});
  EXPECT_EQ(missing.out, "no-such-program-zelta: command not found\r\n");
  EXPECT_EQ(missing.status, 127);
}

TEST(ClientStreams, RedirectionsApplyToASingleCommand) {
  char directory[] = "/tmp/zelta-client-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  const std::string file = std::string(directory) + "/out.txt";
  EXPECT_EQ(run_client({"printf one > " + file}).status, 0);
  EXPECT_EQ(run_client({"printf two >> " + file}).status, 0);
  const ClientResult read_back = run_client({"cat < " + file});
  EXPECT_EQ(read_back.out, "onetwo");
  EXPECT_EQ(run_client({"sh -c 'echo err >&2' 2> " + file}).out, "");
  EXPECT_EQ(run_client({"cat " + file + " | cat"}).out, "err\n");
  std::remove(file.c_str());
  rmdir(directory);
}

TEST(ClientStreams, ErrorRepliesAndRefusedLinesEndWithAStatusOtherThanZero) {
  const ClientResult spawn = run_client({"no-such-program-zelta | cat"});
  EXPECT_EQ(spawn.err, "stdio_client: spawn failed: No such file or directory (os error 2)\n");
  EXPECT_EQ(spawn.status, 1);
  const ClientResult refused = run_client({"ls; ls"});
  EXPECT_NE(refused.err.find("';' is not supported"), std::string::npos) << refused.err;
  EXPECT_EQ(refused.status, 2);
  const ClientResult open_quote = run_client({"echo 'abc"});
  EXPECT_EQ(open_quote.err, "stdio_client: unterminated single quote\n");
  EXPECT_EQ(open_quote.status, 2);
  for (const auto& usage :
       std::vector<std::vector<std::string>>{{"--executor"}, {"--bogus", "ls"}, {"-i", "ls"}}) {
    EXPECT_EQ(run_client(usage).status, 2) << usage[0];
  }
  const ClientResult no_executor = run_client({"--executor", "/nonexistent/stdio_executor", "ls"});
  EXPECT_NE(no_executor.err.find("cannot start the executor /nonexistent/stdio_executor"),
            std::string::npos)
      << no_executor.err;
  EXPECT_EQ(no_executor.status, 1);
}

TEST(ClientStreams, TraceShowsEveryLineWithItsDirection) {
  const ClientResult result = run_client({"--trace", "printf hi | cat"});
  EXPECT_EQ(result.out, "hi");
  const std::string expected_start = R"(> {"type":"run.ast","run_id":"r1","cwd":")";
  EXPECT_EQ(result.err.substr(0, expected_start.size()), expected_start) << result.err;
  for (const char* line :
       {"\n< {\"msg_type\":\"run.ast\",\"run_id\":\"r1\",\"type\":\"recv\"}\n",
        "\n< {\"data\":\"hi\",\"run_id\":\"r1\",\"stdout\":\"hi\",\"type\":\"stdout\"}\n",
        "\n< {\"exit_code\":0,\"run_id\":\"r1\",\"type\":\"exit\"}\n"}) {
    EXPECT_NE(result.err.find(line), std::string::npos) << line << " in " << result.err;
  }
}

TEST(ClientStreams, InteractiveModeReadsAScriptAgainstOneExecutor) {
  // Each run shows the executor's pid (the parent of a pipeline member's shell):
  // both runs must name the same one.
  const std::string script =
      "sh -c 'echo $PPID' | cat\n"
      "printf '%s\\n' 'continued\n"
      "line' |\n"
      "  cat\n"
      "cd /\n"
      "pwd | cat\n"
      "sh -c 'echo $PPID' | cat\n"
      "sh -c 'exit 4'\n";
  const ClientResult result = run_client({}, script);
  const std::size_t first_end = result.out.find('\n');
  ASSERT_NE(first_end, std::string::npos) << result.out;
  const std::string executor_pid = result.out.substr(0, first_end);
  EXPECT_EQ(result.out, executor_pid + "\ncontinued\nline\n/\n" + executor_pid + "\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 4);

  const ClientResult exit_builtin = run_client({"-i"}, "sh -c 'exit 4'\nexit 6\nsh -c 'exit 2'\n");
  EXPECT_EQ(exit_builtin.status, 6);
  const ClientResult refused = run_client({}, "ls & ls\n");
  EXPECT_EQ(refused.status, 2);
}

TEST(ClientStreams, BackgroundRunsShareTheExecutorWithTheForeground) {
  const ClientResult result =
      run_client({}, "printf x &\nsh -c 'exit 2' &\nwait\nsleep 100 &\necho fg | cat\njobs\n");
  if (result.err.find("need an executor with \"concurrent\"") != std::string::npos) {
    GTEST_SKIP() << "the executor runs one command at a time";
  }
  // The ended runs are reported after `wait`; `sleep` goes on while the pipeline runs
  // and is ended when the client leaves.
  EXPECT_EQ(result.err, "[1]- Done  printf x\n[2]+ Exit 2  sh -c 'exit 2'\n");
  EXPECT_EQ(result.out, "fg\n[1]+ Running  sleep 100\n");
  EXPECT_EQ(result.status, 0);
}

}  // namespace
}  // namespace zelta::testing
