// Pipelines through the real executor: events, exit codes, start failures,
// environment, large outputs and resource hygiene.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "executor_process.h"

namespace zelta::testing {
namespace {

using nlohmann::json;
using Members = std::vector<std::vector<std::string>>;

// A "run.ast" line for a Pipeline of Commands; `extra` adds request fields.
std::string pipeline_line(const Members& members, const json& extra = json::object()) {
  json commands = json::array();
  for (const auto& words : members) {
    commands.push_back({{"Command",
                         {{"name", words.front()},
                          {"args", std::vector<std::string>(words.begin() + 1, words.end())},
                          {"single_quoted_args", json::array()},
                          {"redirects", json::array()}}}});
  }
  json request = {{"type", "run.ast"}, {"run_id", "p1"}};
  request["ast"] = {{"Pipeline", {{"commands", commands}}}};
  for (const auto& [key, value] : extra.items()) request[key] = value;
  return request.dump();
}

const std::string kRecv = R"({"msg_type":"run.ast","run_id":"p1","type":"recv"})";
const std::string kEnoentReply =
    R"x({"exit_code":1,"error":"spawn failed: No such file or directory (os error 2)"})x";

std::string output_line(const std::string& stream, const std::string& text) {
  const std::string quoted = json(text).dump();
  return "{\"data\":" + quoted + ",\"run_id\":\"p1\",\"" + stream + "\":" + quoted +
         ",\"type\":\"" + stream + "\"}";
}
std::string exit_line(int code) {
  return "{\"exit_code\":" + std::to_string(code) + ",\"run_id\":\"p1\",\"type\":\"exit\"}";
}

// Runs one pipeline and returns the lines after "recv" up to the exit event
// or the error reply; `wait` bounds each line (the first comes only once the
// whole pipeline has ended).
std::vector<std::string> run(ExecutorProcess& executor, const Members& members,
                             const json& extra = json::object(),
                             std::chrono::milliseconds wait = kLineTimeout) {
  executor.send_line(pipeline_line(members, extra));
  EXPECT_EQ(executor.next_line(), kRecv);
  std::vector<std::string> lines;
  while (auto line = executor.read_line(wait)) {
    lines.push_back(*line);
    if (line->find("\"type\":\"exit\"") != std::string::npos) break;
    if (line->rfind("{\"exit_code\":1,\"error\"", 0) == 0) break;
  }
  return lines;
}

class PipelineRun : public ::testing::Test {
 protected:
  void SetUp() override {
    // One answered request first, so the executor is surely running its own
    // program before its descriptors are noted.
    executor_.send_line(R"({"type":"warm.up"})");
    ASSERT_EQ(executor_.next_line(), R"({"exit_code":1,"error":"Unknown: warm.up"})");
    fds_before_ = executor_.open_fds();
  }
  // Every test ends with no child of the executor left, zombie or not, and
  // with the executor holding the descriptors it held at the start.
  void TearDown() override {
    EXPECT_TRUE(eventually([&] { return executor_.children().empty(); }))
        << "children left: " << executor_.children().size();
    EXPECT_TRUE(eventually([&] { return executor_.open_fds() == fds_before_; }))
        << ::testing::PrintToString(executor_.open_fds());
  }

  ExecutorProcess executor_;
  std::vector<std::string> fds_before_;
};

TEST_F(PipelineRun, EventsInOrderWithStderrByMemberAndLastExitCode) {
  // The second member writes its standard error first.
  EXPECT_EQ(run(executor_, {{"sh", "-c", "sleep 0.3; echo one >&2; printf 'a\\nb\\n'; exit 9"},
                            {"sh", "-c", "echo two >&2; sort -r; exit 4"}}),
            (std::vector<std::string>{output_line("stdout", "b\na\n"),
                                      output_line("stderr", "one\ntwo\n"), exit_line(4)}));
  // Nothing written: only the exit event.
  EXPECT_EQ(run(executor_, {{"true"}, {"sh", "-c", "exit 3"}}),
            (std::vector<std::string>{exit_line(3)}));
}

TEST_F(PipelineRun, FirstMemberReadsTheNullDeviceNotTheFrontEnd) {
  EXPECT_EQ(run(executor_, {{"cat"}}), (std::vector<std::string>{exit_line(0)}));
  EXPECT_EQ(run(executor_, {{"wc", "-c"}}),
            (std::vector<std::string>{output_line("stdout", "0\n"), exit_line(0)}));
}

TEST_F(PipelineRun, SignalEndings) {
  EXPECT_EQ(run(executor_, {{"yes"}, {"head", "-n", "1"}}),
            (std::vector<std::string>{output_line("stdout", "y\n"), exit_line(0)}));
  EXPECT_EQ(run(executor_, {{"true"}, {"sh", "-c", "kill -TERM $$"}}),
            (std::vector<std::string>{exit_line(1)}));
}

TEST_F(PipelineRun, BackgroundWriterKeepsTheRunOpenUntilItCloses) {
  // "early" is written before the background writer is started, so the order
  // does not depend on how soon either shell is scheduled.
  EXPECT_EQ(run(executor_, {{"sh", "-c", "echo early >&2; (sleep 1; echo late >&2) &"}}),
            (std::vector<std::string>{output_line("stderr", "early\nlate\n"), exit_line(0)}));
}

// Output that is not UTF-8 is repaired like terminal output, not dropped.
TEST_F(PipelineRun, IllFormedOutputIsRepairedNotDropped) {
  EXPECT_EQ(run(executor_, {{"sh", "-c", "printf 'ok \\377'; printf 'err\\n' >&2; exit 2"}}),
            (std::vector<std::string>{output_line("stdout", "ok \xEF\xBF\xBD"),
                                      output_line("stderr", "err\n"), exit_line(2)}));
  // A larger binary stream: every byte is kept or replaced, in order.
  EXPECT_EQ(run(executor_, {{"sh", "-c", "printf 'caf\\303\\251 \\342\\202 x\\200'; seq 3"}}),
            (std::vector<std::string>{output_line("stdout",
                                                  "caf\xC3\xA9 \xEF\xBF\xBD x\xEF\xBF\xBD"
                                                  "1\n2\n3\n"),
                                      exit_line(0)}));
}

TEST_F(PipelineRun, FailedStartRepliesAtOnceAndReapsEarlierMembersWhenTheyEnd) {
  // A long-running first member does not hold the reply back.
  EXPECT_EQ(run(executor_, {{"sleep", "1000"}, {"no-such-program-here"}}),
            (std::vector<std::string>{kEnoentReply}));
  auto children = executor_.children();
  ASSERT_EQ(children.size(), 1u);
  EXPECT_NE(ExecutorProcess::process_state(children.front()), 'Z');
  ::kill(children.front(), SIGKILL);
  ASSERT_TRUE(eventually([&] { return executor_.children().empty(); }));

  // A member that ends by itself is reaped too, and the executor serves on.
  EXPECT_EQ(run(executor_, {{"sh", "-c", "sleep 0.5; echo gone >&2"}, {"no-such-program-here"}}),
            (std::vector<std::string>{kEnoentReply}));
  EXPECT_EQ(run(executor_, {{"echo", "next"}}),
            (std::vector<std::string>{output_line("stdout", "next\n"), exit_line(0)}));
}

TEST_F(PipelineRun, MissingWorkingDirectoryStartsNothing) {
  EXPECT_EQ(run(executor_, {{"echo", "a"}, {"cat"}}, {{"cwd", "/no/such/dir"}}),
            (std::vector<std::string>{kEnoentReply}));
  EXPECT_TRUE(executor_.children().empty());
  EXPECT_EQ(run(executor_, {{"pwd"}}),
            (std::vector<std::string>{output_line("stdout", "/tmp\n"), exit_line(0)}));
}

TEST_F(PipelineRun, EnvironmentOfMembers) {
  char dir_template[] = "/tmp/pipeline-e2e-XXXXXX";
  const std::string dir = ::mkdtemp(dir_template);
  const std::string tool = dir + "/only-here";
  std::ofstream(tool) << "#!/bin/sh\necho \"found $1\"\n";
  ::chmod(tool.c_str(), 0755);
  const std::string bash_env = dir + "/bash-env";
  std::ofstream(bash_env) << "true\n";

  // The request's PATH governs the search, not the executor's.
  EXPECT_EQ(
      run(executor_, {{"only-here", "x"}, {"cat"}}, {{"env", {{"PATH", dir + ":/usr/bin:/bin"}}}}),
      (std::vector<std::string>{output_line("stdout", "found x\n"), exit_line(0)}));
  EXPECT_EQ(run(executor_, {{"only-here"}}), (std::vector<std::string>{kEnoentReply}));
  // TERM is forced; BASH_ENV reaches a bash member unchanged.
  EXPECT_EQ(run(executor_, {{"bash", "-c", "echo \"$TERM|$BASH_ENV\""}},
                {{"env", {{"TERM", "vt100"}, {"BASH_ENV", bash_env}}}}),
            (std::vector<std::string>{output_line("stdout", "xterm-256color|" + bash_env + "\n"),
                                      exit_line(0)}));
  std::system(("rm -rf " + dir).c_str());
}

TEST_F(PipelineRun, LargeStdoutAndStderrInAnyMixDoNotDeadlock) {
  // 10 MB on each stream from each member, the first member's stderr first,
  // the last member's stdout and stderr interleaved.
  const std::string ten_mb = "head -c 10000000 /dev/zero | tr '\\0' ";
  // 40 MB take a while to capture and encode under a sanitizer on a busy machine.
  const auto lines = run(executor_,
                         {{"sh", "-c", ten_mb + "e >&2; " + ten_mb + "o"},
                          {"sh", "-c",
                           "cat >/dev/null; for i in 1 2 3 4 5; do head -c 2000000 /dev/zero | tr "
                           "'\\0' O; head -c 2000000 /dev/zero | tr '\\0' E >&2; done"}},
                         json::object(), std::chrono::seconds(120));
  ASSERT_EQ(lines.size(), 3u);
  // The expected lines are put together by hand (the texts need no escaping): the
  // JSON library's printer takes most of this test's time under ThreadSanitizer.
  // Compared whole: a mismatch would print megabytes.
  const std::string out(10000000, 'O');
  const std::string err = std::string(10000000, 'e') + std::string(10000000, 'E');
  EXPECT_TRUE(lines[0] == "{\"data\":\"" + out + "\",\"run_id\":\"p1\",\"stdout\":\"" + out +
                              "\",\"type\":\"stdout\"}")
      << lines[0].size();
  EXPECT_TRUE(lines[1] == "{\"data\":\"" + err + "\",\"run_id\":\"p1\",\"stderr\":\"" + err +
                              "\",\"type\":\"stderr\"}")
      << lines[1].size();
  EXPECT_EQ(lines[2], exit_line(0));
}

TEST_F(PipelineRun, ControlRequestsReadWithTheRunRequestAreAnsweredAfterIt) {
  // In one write, so the service loop reads them with the run request, before
  // the run begins to read its own control input.
  executor_.send(pipeline_line({{"sh", "-c", "sleep 0.5; echo done"}}) + "\n" +
                 R"({"type":"stdin.write","run_id":"p1","data":"x"})"
                 "\n"
                 R"({"type":"run.signal","run_id":"p1","signal":"SIGKILL"})"
                 "\n"
                 R"({"type":"stream.flush","run_id":"p1"})"
                 "\n");
  EXPECT_EQ(executor_.next_line(), kRecv);
  EXPECT_EQ(executor_.next_line(), output_line("stdout", "done\n"));
  EXPECT_EQ(executor_.next_line(), exit_line(0));
  EXPECT_EQ(executor_.next_line(), R"({"exit_code":1,"error":"Unknown: stdin.write"})");
  EXPECT_EQ(executor_.next_line(), R"({"exit_code":1,"error":"Unknown: run.signal"})");
  EXPECT_EQ(executor_.next_line(), R"({"exit_code":1,"error":"Unknown: stream.flush"})");
}

TEST_F(PipelineRun, MembersSeeOnlyTheirThreeStandardDescriptors) {
  // ls's own directory stream is descriptor 3.
  EXPECT_EQ(run(executor_, {{"ls", "/proc/self/fd"}}),
            (std::vector<std::string>{output_line("stdout", "0\n1\n2\n3\n"), exit_line(0)}));
}

TEST(PipelineRunReply, DefaultRunIdAndNoRecvWithoutOne) {
  ExecutorProcess executor;
  json request = json::parse(pipeline_line({{"echo", "hi"}}));
  request.erase("run_id");
  executor.send_line(request.dump());
  EXPECT_EQ(executor.next_line(),
            R"({"data":"hi\n","run_id":"run-0","stdout":"hi\n","type":"stdout"})");
  EXPECT_EQ(executor.next_line(), R"({"exit_code":0,"run_id":"run-0","type":"exit"})");
}

}  // namespace
}  // namespace zelta::testing
