// Pipelines as a front end meets them: stopped by "run.signal", kept off the front
// end's terminal, streamed with "stream": true, run as a job on a terminal with
// "terminal": true; and lines read during any run served after it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "run_requests.h"
#include "scratch_dir.h"
#include "tmux_session.h"

namespace zelta::testing {
namespace {

using nlohmann::json;
using Members = std::vector<std::vector<std::string>>;

// A pipeline request whose members may carry redirections: {words, redirects}.
std::string job_request(const std::string& run_id,
                        const std::vector<std::pair<std::vector<std::string>, json>>& members,
                        const json& extra) {
  json commands = json::array();
  for (const auto& [words, redirects] : members) {
    commands.push_back({{"Command",
                         {{"name", words.front()},
                          {"args", std::vector<std::string>(words.begin() + 1, words.end())},
                          {"single_quoted_args", json::array()},
                          {"redirects", redirects}}}});
  }
  json request = {{"type", "run.ast"}, {"run_id", run_id}};
  request["ast"] = {{"Pipeline", {{"commands", commands}}}};
  for (const auto& [key, value] : extra.items()) request[key] = value;
  return request.dump();
}

const json kTerminal = {{"terminal", true}};
const std::string kMissingFileReply =
    R"x({"exit_code":1,"error":"Read error: No such file or directory (os error 2)"})x";

TEST(PipelineControl, RunSignalStopsANeverEndingPipelineAndLinesSentMeanwhileAreServedAfter) {
  ExecutorProcess executor;
  executor.send_line(pipeline_request("p", {{"sleep", "1000"}, {"cat"}}));
  executor.next_line();  // recv
  const auto start = std::chrono::steady_clock::now();
  // A request, a signal for another run (dropped), the start of a line the run
  // leaves incomplete, and the signal itself.
  executor.send_line(R"({"type":"read_file","path":"/nonexistent/zelta"})");
  executor.send_line(control_request("run.signal", "other", {{"signal", "KILL"}}));
  executor.send_line(control_request("run.signal", "p", {{"signal", "TERM"}}));
  ASSERT_EQ(executor.next_line(), R"({"exit_code":1,"run_id":"p","type":"exit"})");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_EQ(executor.next_line(), kMissingFileReply);
  // A line left incomplete when a run ends joins what follows it. Sent in one
  // write with the input that ends the run, it is read by the run.
  executor.send_line(command_request("q", "head", {"-n", "1"}));
  executor.read_until(R"("type":"started")");
  executor.send(control_request("stdin.write", "q", {{"data", "go\n"}}) + "\n" +
                R"({"type":"read_file",)");
  EXPECT_EQ(read_run(executor).exit_code, 0);
  executor.send_line(R"("path":"/nonexistent/zelta"})");
  EXPECT_EQ(executor.next_line(), kMissingFileReply);
}

TEST(PipelineControl, RunSignalReachesWhatAMemberLeftInItsProcessGroup) {
  ScratchDir dir;
  const std::string pid_file = dir.path + "/bg.pid";
  ExecutorProcess executor;
  // The member's background child keeps the output pipe open; only a signal to the
  // member's whole process group ends the run.
  executor.send_line(pipeline_request(
      "g", {{"sh", "-c", "sleep 1000 & echo $! > " + pid_file + "; wait"}, {"cat"}}));
  executor.next_line();
  ASSERT_TRUE(eventually([&] { return ::access(pid_file.c_str(), F_OK) == 0; }));
  executor.send_line(control_request("run.signal", "g", {{"signal", "KILL"}}));
  EXPECT_EQ(executor.next_line(), R"({"exit_code":1,"run_id":"g","type":"exit"})");
}

TEST(PipelineControl, RequestsSentDuringATerminalRunAreServedAfterItInOrder) {
  ExecutorProcess executor;
  executor.send_line(command_request("t", "sh", {"-c", "echo ready; read x; exit 4"}));
  read_output_until(executor, "ready");
  executor.send_line(command_request("u", "sh", {"-c", "exit 5"}));
  executor.send_line("not json");
  executor.send_line(R"({"type":"read_file","path":"/nonexistent/zelta"})");
  executor.send_line(control_request("stdin.write", "t", {{"data", "go\n"}}));
  const RunOutcome first = read_run(executor);
  EXPECT_EQ(first.exit_code, 4);
  EXPECT_EQ(executor.next_line(), R"({"msg_type":"run.ast","run_id":"u","type":"recv"})");
  EXPECT_EQ(executor.read_until(R"("type":"exit")").back(),
            R"({"exit_code":5,"run_id":"u","type":"exit"})");
  EXPECT_EQ(executor.next_line(), R"({"exit_code":1,"error":"Parse error"})");
  EXPECT_EQ(executor.next_line(), kMissingFileReply);
}

TEST(PipelineIsolation, MembersHaveNoControllingTerminalAndLeadTheirOwnGroups) {
  ExecutorProcess executor;
  executor.send_line(
      pipeline_request("i", {{"sh", "-c", "ps -o sid=,pgid= -p $$; echo x > /dev/tty"}, {"cat"}}));
  const RunOutcome run = read_run(executor);
  std::istringstream ids(run.stdout_text);
  long sid = 0, pgid = 0;
  ids >> sid >> pgid;
  EXPECT_NE(sid, static_cast<long>(::getsid(executor.pid())));
  EXPECT_EQ(sid, pgid);
  EXPECT_NE(run.stderr_text.find("/dev/tty: No such device or address"), std::string::npos)
      << run.stderr_text;
}

TEST(PipelineIsolation, DevTtyOfACapturedMemberLeavesTheFrontEndsPaneUntouched) {
  if (!TmuxSession::available()) GTEST_SKIP() << "tmux is not installed";
  ScratchDir dir;
  dir.write_file(
      "requests",
      pipeline_request("d", {{"sh", "-c", "echo LEAKED-MARK > /dev/tty"}, {"cat"}}) + "\n");
  // The executor runs in the pane with its requests from a file and its output in
  // another; whatever reaches the pane's terminal shows on the screen.
  TmuxSession tmux(sh_quote(ZELTA_EXECUTOR_PATH) + " < " + dir.path + "/requests > " + dir.path +
                       "/out; echo run-over; sleep 600",
                   80, 24);
  ASSERT_TRUE(tmux.wait_for("run-over")) << tmux.last_screen();
  EXPECT_EQ(tmux.last_screen().find("LEAKED-MARK"), std::string::npos) << tmux.last_screen();
  EXPECT_NE(dir.read_file("out").find("No such device or address"), std::string::npos);
}

TEST(StreamedPipeline, OutputArrivesBeforeThePipelineEndsInWholeCharacters) {
  ScratchDir dir;
  const std::string go = dir.path + "/go";
  ExecutorProcess executor;
  // The first line, then a wait that only the test ends: its event must come first.
  executor.send_line(pipeline_request(
      "s",
      {{"sh", "-c",
        "echo first; while [ ! -e " + go +
            " ]; do sleep 0.05; done; printf '\\303'; sleep 0.3; printf '\\251\\n'; echo e >&2"},
       {"cat"}},
      {{"stream", true}}));
  executor.next_line();  // recv
  EXPECT_EQ(executor.next_line(),
            R"({"data":"first\n","run_id":"s","stdout":"first\n","type":"stdout"})");
  dir.write_file("go", "");
  const RunOutcome rest = read_run(executor);
  EXPECT_EQ(rest.stdout_text, "\xc3\xa9\n");  // never a replacement character
  EXPECT_EQ(rest.stderr_text, "e\n");
  EXPECT_EQ(rest.exit_code, 0);
}

TEST(StreamedPipeline, StopsOnRunSignalAndFalseKeepsTheCollectedEvents) {
  ExecutorProcess executor;
  executor.send_line(pipeline_request("s", {{"yes"}, {"cat"}}, {{"stream", true}}));
  executor.next_line();  // recv
  read_output_until(executor, "y\ny\n");
  executor.send_line(control_request("run.signal", "s"));
  EXPECT_EQ(read_run(executor).exit_code, 1);

  executor.send_line(
      pipeline_request("c", {{"sh", "-c", "echo a; echo b >&2"}, {"cat"}}, {{"stream", false}}));
  EXPECT_EQ(executor.next_line(), R"({"msg_type":"run.ast","run_id":"c","type":"recv"})");
  EXPECT_EQ(executor.next_line(), R"({"data":"a\n","run_id":"c","stdout":"a\n","type":"stdout"})");
  EXPECT_EQ(executor.next_line(), R"({"data":"b\n","run_id":"c","stderr":"b\n","type":"stderr"})");
  EXPECT_EQ(executor.next_line(), R"({"exit_code":0,"run_id":"c","type":"exit"})");
}

TEST(TerminalPipeline, MembersShareTheForegroundGroupThatStartedNames) {
  ExecutorProcess executor;
  executor.send_line(job_request(
      "t",
      {{{"sh", "-c", "echo ids $(ps -o pgid=,tpgid= -p $$); echo tty > /dev/tty"}, json::array()},
       {{"cat"}, json::array()}},
      kTerminal));
  executor.next_line();  // recv
  const json started = json::parse(executor.next_line());
  ASSERT_EQ(started["type"], "started");
  EXPECT_EQ(started["command"], "sh");
  const RunOutcome run = read_run(executor);
  // "tty" goes straight to the terminal and may come before what cat passes on.
  const auto at = run.stdout_text.find("ids ");
  ASSERT_NE(at, std::string::npos) << run.stdout_text;
  std::istringstream ids(run.stdout_text.substr(at + 4));
  long pgid = 0, tpgid = 0;
  ids >> pgid >> tpgid;
  EXPECT_EQ(pgid, started["child_pid"].get<long>());
  EXPECT_EQ(tpgid, pgid);
  EXPECT_NE(run.stdout_text.find("tty\r\n"), std::string::npos) << run.stdout_text;
  EXPECT_EQ(run.exit_code, 0);
}

TEST(TerminalPipeline, RedirectionsApplyPerMemberAfterThePipes) {
  ScratchDir dir;
  ExecutorProcess executor;
  // 2>&1 sends the first member's error into the pipe; the last member's output
  // goes to a file relative to the run's directory.
  executor.send_line(
      job_request("r",
                  {{{"sh", "-c", "echo to-err >&2"}, json::array({redirect("OutputDup", "1", 2)})},
                   {{"tr", "a-z", "A-Z"}, json::array({redirect("Output", "out.txt")})}},
                  {{"terminal", true}, {"cwd", dir.path}}));
  const RunOutcome run = read_run(executor);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(dir.read_file("out.txt"), "TO-ERR\n");
  EXPECT_EQ(run.stdout_text, "");
  // A redirection that cannot be applied stops only its member, with the message of
  // a single command.
  executor.send_line(job_request("m",
                                 {{{"cat"}, json::array({redirect("Input", "/nonexistent/zelta")})},
                                  {{"sh", "-c", "cat; exit 6"}, json::array()}},
                                 kTerminal));
  const RunOutcome missing = read_run(executor);
  EXPECT_NE(missing.stdout_text.find("/nonexistent/zelta: No such file or directory"),
            std::string::npos)
      << missing.stdout_text;
  EXPECT_EQ(missing.exit_code, 6);
}

TEST(TerminalPipeline, AMemberThatCannotStartReportsOnTheTerminalAndTheOthersRunOn) {
  ExecutorProcess executor;
  executor.send_line(job_request("n",
                                 {{{"printf", "ok\\n"}, json::array()},
                                  {{"no-such-program-zelta"}, json::array()},
                                  {{"sh", "-c", "echo last; exit 3"}, json::array()}},
                                 kTerminal));
  const RunOutcome run = read_run(executor);
  EXPECT_NE(run.stdout_text.find("no-such-program-zelta: command not found\r\n"), std::string::npos)
      << run.stdout_text;
  EXPECT_NE(run.stdout_text.find("last\r\n"), std::string::npos) << run.stdout_text;
  EXPECT_EQ(run.exit_code, 3);
}

// Members whose exec fails for different reasons at the same moment (they are
// started side by side, sharing memory until their exec) each report their
// own reason, round after round.
TEST(TerminalPipeline, MembersFailingAtOnceEachReportTheirOwnReason) {
  ScratchDir dir;
  dir.write_file("not-executable", "echo never\n", 0644);
  const std::string denied = dir.path + "/not-executable";
  std::vector<std::pair<std::vector<std::string>, json>> members;
  for (int i = 0; i < 4; ++i) {
    members.push_back({{denied}, json::array()});
    members.push_back({{"no-such-program-zelta"}, json::array()});
  }
  members.push_back({{"sh", "-c", "exit 5"}, json::array()});
  const auto count = [](const std::string& text, const std::string& line) {
    int n = 0;
    for (std::size_t at = 0; (at = text.find(line, at)) != std::string::npos; at += line.size())
      ++n;
    return n;
  };
  ExecutorProcess executor;
  for (int round = 0; round < 12; ++round) {
    executor.send_line(job_request("x" + std::to_string(round), members, kTerminal));
    const RunOutcome run = read_run(executor);
    ASSERT_EQ(run.exit_code, 5);
    ASSERT_EQ(
        count(run.stdout_text, denied + ": failed to execute: Permission denied (os error 13)\r\n"),
        4)
        << run.stdout_text;
    ASSERT_EQ(count(run.stdout_text, "no-such-program-zelta: command not found\r\n"), 4)
        << run.stdout_text;
  }
}

// Members that fail before their exec write on the terminal while the launch
// is still starting the others; a member that floods the terminal meanwhile
// must not make them (and so the launch) wait: every line arrives, after
// "started", and "started" comes well within the launch's own time-out.
TEST(TerminalPipeline, FailingMembersBehindAFloodedTerminalNeitherHoldTheLaunchNorLoseLines) {
  constexpr int kFailing = 60;
  std::vector<std::pair<std::vector<std::string>, json>> members;
  members.push_back({{"sh", "-c", "yes 0123456789abcdef | head -c 600000 >&2"}, json::array()});
  for (int i = 0; i < kFailing; ++i) {
    members.push_back({{"no-such-program-zelta-" + std::to_string(i)}, json::array()});
  }
  members.push_back({{"sh", "-c", "exit 4"}, json::array()});
  ExecutorProcess executor;
  const auto sent = std::chrono::steady_clock::now();
  executor.send_line(job_request("f", members, kTerminal));
  executor.next_line();  // recv
  const json started = json::parse(executor.next_line());
  ASSERT_EQ(started["type"], "started");
  EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(8));
  const RunOutcome run = read_run(executor);
  EXPECT_EQ(run.exit_code, 4);
  // Each failure line is one write, so it may split a line of the flood but
  // stays whole itself; with them taken out, the flood is whole too.
  std::string text = run.stdout_text;
  for (int i = 0; i < kFailing; ++i) {
    const std::string line =
        "no-such-program-zelta-" + std::to_string(i) + ": command not found\r\n";
    const auto at = text.find(line);
    ASSERT_NE(at, std::string::npos) << line;
    text.erase(at, line.size());
  }
  std::size_t flood = 0;
  for (std::size_t at = 0; (at = text.find("0123456789abcdef\r\n", at)) != std::string::npos;
       ++at) {
    ++flood;
  }
  EXPECT_EQ(flood, 600000u / 17);
}

TEST(TerminalPipeline, TypedCtrlCAndRunSignalEndEveryMember) {
  ExecutorProcess executor;
  executor.send_line(
      job_request("c", {{{"yes"}, json::array()}, {{"cat"}, json::array()}}, kTerminal));
  read_output_until(executor, "y\r\ny\r\n");
  executor.send_line(control_request("stdin.write", "c", {{"data", "\x03"}}));
  EXPECT_EQ(read_run(executor).exit_code, 130);

  executor.send_line(job_request(
      "k", {{{"sleep", "1000"}, json::array()}, {{"sleep", "1000"}, json::array()}}, kTerminal));
  executor.next_line();  // recv
  executor.next_line();  // started
  executor.send_line(control_request("run.signal", "k", {{"signal", "KILL"}}));
  EXPECT_EQ(read_run(executor).exit_code, 137);
}

TEST(TerminalPipeline, OneMemberRunsAsASingleCommandWithItsRedirections) {
  ScratchDir dir;
  ExecutorProcess executor;
  executor.send_line(job_request(
      "o", {{{"sh", "-c", "echo $$; exit 2"}, json::array({redirect("Output", "pid.txt")})}},
      {{"terminal", true}, {"cwd", dir.path}}));
  executor.next_line();  // recv
  const json started = json::parse(executor.next_line());
  EXPECT_EQ(read_run(executor).exit_code, 2);
  EXPECT_EQ(dir.read_file("pid.txt"), std::to_string(started["child_pid"].get<long>()) + "\n");
}

}  // namespace
}  // namespace zelta::testing
