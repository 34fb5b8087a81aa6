// Single commands on a terminal through the real executor: events, exit
// codes, control requests, environment, redirections and resource hygiene.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "executor_process.h"
#include "run_requests.h"
#include "scratch_dir.h"

namespace zelta::testing {
namespace {

using nlohmann::json;

// A "run.ast" line for a Command tree; `extra` adds request fields (env,
// cwd, rows, cols).
std::string run_line(const std::string& name, const std::vector<std::string>& args = {},
                     const json& redirects = json::array(), const json& extra = json::object()) {
  json request = {{"type", "run.ast"}, {"run_id", "r1"}};
  request["ast"] = {{"Command",
                     {{"name", name},
                      {"args", args},
                      {"single_quoted_args", json::array()},
                      {"redirects", redirects}}}};
  for (const auto& [key, value] : extra.items()) request[key] = value;
  return request.dump();
}

std::string control_line(const std::string& type, json fields = json::object()) {
  json request = {{"type", type}, {"run_id", "r1"}};
  for (const auto& [key, value] : fields.items()) request[key] = value;
  return request.dump();
}

std::vector<json> parse(const std::vector<std::string>& lines) {
  std::vector<json> events;
  for (const auto& line : lines) events.push_back(json::parse(line));
  return events;
}

// Reads up to and including the exit event of the run.
std::vector<json> events_to_exit(ExecutorProcess& executor) {
  return parse(executor.read_until("\"type\":\"exit\""));
}

std::string output_of(const std::vector<json>& events) {
  std::string text;
  for (const auto& e : events) {
    if (e.value("type", "") == "stdout") text += e.at("stdout").get<std::string>();
  }
  return text;
}

int exit_code_of(const std::vector<json>& events) {
  if (events.empty() || events.back().value("type", "") != "exit") return -1;
  return events.back().at("exit_code").get<int>();
}

// Starts a run and waits for its "started" event (after "recv").
void start(ExecutorProcess& executor, const std::string& name,
           const std::vector<std::string>& args) {
  executor.send_line(run_line(name, args));
  EXPECT_EQ(executor.next_line(), R"({"msg_type":"run.ast","run_id":"r1","type":"recv"})");
  auto started = json::parse(executor.next_line());
  EXPECT_EQ(started.value("type", ""), "started");
}

TEST(PtyRunE2E, EventsInOrderWithExitCodes) {
  ExecutorProcess executor;
  struct Case {
    std::string name;
    std::vector<std::string> args;
    int exit_code;
    std::string output;
  };
  const Case cases[] = {
      {"true", {}, 0, ""},
      {"sh", {"-c", "echo out; exit 3"}, 3, "out\r\n"},
      {"zelta-no-such-program", {}, 127, "zelta-no-such-program: command not found\r\n"},
      {"/tmp", {}, 126, "/tmp: failed to execute: Permission denied (os error 13)\r\n"},
  };
  for (const Case& c : cases) {
    executor.send_line(run_line(c.name, c.args));
    auto events = events_to_exit(executor);
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[0].at("type"), "recv");
    EXPECT_EQ(events[1].at("type"), "started");
    EXPECT_EQ(events[1].at("backend_pid"), executor.pid());
    EXPECT_EQ(events[1].at("command"), c.name);
    EXPECT_EQ(exit_code_of(events), c.exit_code) << c.name;
    EXPECT_EQ(output_of(events), c.output) << c.name;
    EXPECT_EQ(events.back().dump(), R"({"exit_code":)" + std::to_string(c.exit_code) +
                                        R"(,"run_id":"r1","type":"exit"})");
  }
}

TEST(PtyRunE2E, SignalRequestsEndTheCommand) {
  ExecutorProcess executor;
  struct Case {
    json signal;
    int exit_code;
  };
  const Case cases[] = {{"KILL", 137}, {"TERM", 143}, {nullptr, 130}, {"INT", 130}, {"kill", 130}};
  for (const Case& c : cases) {
    start(executor, "sleep", {"30"});
    json fields = json::object();
    if (!c.signal.is_null()) fields["signal"] = c.signal;
    executor.send_line(control_line("run.signal", fields));
    EXPECT_EQ(exit_code_of(events_to_exit(executor)), c.exit_code) << c.signal;
  }
}

// Ctrl-C typed the moment "started" arrives must reach the command as SIGINT:
// by then the terminal is already the command's controlling terminal, and the
// command has the default disposition even when the executor ignores SIGINT.
TEST(PtyRunE2E, InterruptTypedRightAfterStartedEndsTheCommand) {
  ExecutorOptions options;
  options.ignore_interrupt = true;
  ExecutorProcess executor(options);
  for (int round = 0; round < 20; ++round) {
    start(executor, "cat", {});
    executor.send_line(control_line("stdin.write", {{"data", "\u0003"}}));
    EXPECT_EQ(exit_code_of(events_to_exit(executor)), 130) << "round " << round;
  }
}

TEST(PtyRunE2E, ControlLinesSplitAcrossWritesAndAmidNoise) {
  ExecutorProcess executor;
  start(executor, "head", {"-n", "1"});
  // Control lines for other runs or without run_id are consumed silently;
  // lines of other types, undecodable or blank, are kept for after the run.
  executor.send(control_line("stdin.write", {{"data", "wrong\n"}, {"run_id", "other"}}) + "\n");
  executor.send(R"({"type":"stdin.write","data":"no id\n"})"
                "\n");
  executor.send(R"({"type":"read_file","path":"/nonexistent/zelta","run_id":"r1"})"
                "\n");
  executor.send("not json\n   \n");
  executor.send(R"(  {"type":"stdin.write","run_id":"r1",)");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  executor.send(R"("data":"typed\n"}  )"
                "\r\n");
  auto events = events_to_exit(executor);
  EXPECT_EQ(exit_code_of(events), 0);
  // The terminal echoes the typed line, then head prints it.
  EXPECT_EQ(output_of(events), "typed\r\ntyped\r\n");
  EXPECT_EQ(executor.next_line(),
            R"x({"exit_code":1,"error":"Read error: No such file or directory (os error 2)"})x");
  EXPECT_EQ(executor.next_line(), R"({"exit_code":1,"error":"Parse error"})");
  EXPECT_EQ(executor.next_line(), R"({"exit_code":1,"error":"Parse error"})");
  EXPECT_TRUE(executor.quiet_for(std::chrono::milliseconds(200)));
}

TEST(PtyRunE2E, ControlSentWithTheRunRequestIsAnsweredAfterTheRun) {
  ExecutorProcess executor;
  executor.send(run_line("sh", {"-c", "sleep 0.3"}) + "\n" +
                control_line("run.signal", {{"signal", "KILL"}}) + "\n");
  auto events = events_to_exit(executor);
  EXPECT_EQ(exit_code_of(events), 0);
  EXPECT_EQ(executor.next_line(), R"({"exit_code":1,"error":"Unknown: run.signal"})");
}

TEST(PtyRunE2E, RunRequestDuringARunIsServedAfterIt) {
  ExecutorProcess executor;
  start(executor, "sleep", {"30"});
  executor.send_line(run_line("echo", {"second"}));
  executor.send_line(control_line("run.signal", {{"signal", "KILL"}}));
  auto events = events_to_exit(executor);
  EXPECT_EQ(events.size(), 1u);
  EXPECT_EQ(exit_code_of(events), 137);
  // The second run request was kept, not lost: it runs now.
  EXPECT_NE(executor.next_line().find("\"type\":\"recv\""), std::string::npos);
  EXPECT_NE(executor.next_line().find("\"type\":\"started\""), std::string::npos);
  EXPECT_EQ(output_of(events_to_exit(executor)), "second\r\n");
  // After the run a control request reaches the service loop.
  executor.send_line(control_line("stdin.write", {{"data", "x"}}));
  EXPECT_EQ(executor.next_line(), R"({"exit_code":1,"error":"Unknown: stdin.write"})");
}

TEST(PtyRunE2E, PasteLargerThanTheTerminalQueueIsFullyDelivered) {
  ExecutorProcess executor;
  start(executor, "sh", {"-c", "stty raw -echo; echo ready; head -c 200000 | wc -c"});
  read_output_until(executor, "ready");
  executor.send_line(control_line("stdin.write", {{"data", std::string(200000, 'p')}}));
  auto events = events_to_exit(executor);
  EXPECT_EQ(exit_code_of(events), 0);
  EXPECT_NE(output_of(events).find("200000"), std::string::npos) << output_of(events);
}

TEST(PtyRunE2E, EndOfInputDuringARunLetsItFinish) {
  ExecutorProcess executor;
  start(executor, "sh", {"-c", "sleep 0.3; echo done"});
  executor.close_stdin();
  auto events = events_to_exit(executor);
  EXPECT_EQ(output_of(events), "done\r\n");
  EXPECT_EQ(exit_code_of(events), 0);
  EXPECT_EQ(executor.wait_exit(), 0);
}

TEST(PtyRunE2E, WindowSizeEnvironmentAndWorkingDirectory) {
  ExecutorProcess executor;
  executor.send_line(run_line("stty", {"size"}, json::array(), {{"cols", 132}}));
  EXPECT_EQ(output_of(events_to_exit(executor)), "24 132\r\n");
  executor.send_line(run_line("stty", {"size"}, json::array(), {{"rows", 0}, {"cols", 0}}));
  EXPECT_EQ(output_of(events_to_exit(executor)), "0 0\r\n");

  executor.send_line(run_line("sh", {"-c", "echo $TERM $BASH_ENV $X; pwd"}, json::array(),
                              {{"env", {{"TERM", "dumb"}, {"BASH_ENV", "/x"}, {"X", "y"}}}}));
  EXPECT_EQ(output_of(events_to_exit(executor)), "xterm-256color /dev/null y\r\n/tmp\r\n");

  ScratchDir bin;
  {
    std::string script = bin.path + "/zelta-found";
    FILE* f = std::fopen(script.c_str(), "w");
    std::fputs("#!/bin/sh\necho \"found in $PWD\"\n", f);
    std::fclose(f);
    ::chmod(script.c_str(), 0755);
  }
  executor.send_line(run_line("zelta-found", {}, json::array(),
                              {{"env", {{"PATH", bin.path}}}, {"cwd", bin.path}}));
  EXPECT_EQ(output_of(events_to_exit(executor)), "found in " + bin.path + "\r\n");
  ::unlink((bin.path + "/zelta-found").c_str());
}

TEST(PtyRunE2E, HereDocumentsLeaveNoFileAndRedirectsApply) {
  ScratchDir tmp;
  ExecutorProcess executor;
  json redirects = json::array({
      {{"fd", nullptr}, {"kind", "HereString"}, {"file", "abc"}},
      {{"fd", 2}, {"kind", "Output"}, {"file", "/dev/null"}},
  });
  executor.send_line(
      run_line("sh", {"-c", "cat; echo hidden >&2"}, redirects, {{"env", {{"TMPDIR", tmp.path}}}}));
  EXPECT_EQ(output_of(events_to_exit(executor)), "abc\r\n");
  EXPECT_TRUE(tmp.entries().empty());
}

TEST(PtyRunE2E, LaunchTraceOnStandardErrorWhenSwitchedOn) {
  const std::string redirects = R"([{"fd":null,"kind":"HereString","file":"hi"}])";
  for (std::string value : {"1", "true", "01"}) {
    ExecutorOptions options;
    options.env = {"ZELTA_STDIO_DEBUG_REDIRECTS=" + value};
    ExecutorProcess executor(options);
    executor.send_line(run_line("cat", {"-n"}, json::parse(redirects)));
    events_to_exit(executor);
    executor.close_stdin();
    executor.wait_exit();
    if (value == "1") {
      EXPECT_EQ(executor.stderr_text(),
                "[zelta-stdio] command=cat args=[\"-n\"] redirects=[Redirect { fd: None, kind: "
                "HereString, file: \"hi\" }]\n");
    } else {
      EXPECT_EQ(executor.stderr_text(), "") << value;
    }
  }
}

TEST(PtyRunE2E, ManyRunsLeaveNoDescriptorAndNoZombie) {
  ExecutorProcess executor;
  executor.send_line(run_line("true"));
  events_to_exit(executor);
  const auto before = executor.open_fds();
  for (int i = 0; i < 25; ++i) {
    json here_doc = json::array({{{"fd", nullptr}, {"kind", "HereDoc"}, {"file", "x"}}});
    executor.send_line(run_line(i % 2 ? "cat" : "zelta-no-such-program", {}, here_doc));
    events_to_exit(executor);
  }
  EXPECT_EQ(executor.open_fds(), before);
  EXPECT_TRUE(executor.children().empty());
}

TEST(PtyRunE2E, HungUpTerminalCostsTheExecutorNextToNoCpu) {
  ExecutorProcess executor;
  json redirects = json::array({
      {{"fd", nullptr}, {"kind", "Input"}, {"file", "/dev/null"}},
      {{"fd", nullptr}, {"kind", "Output"}, {"file", "/dev/null"}},
      {{"fd", 2}, {"kind", "Output"}, {"file", "/dev/null"}},
  });
  // Once a first run is over, the executor's own start (loading, and a
  // sanitizer's set-up) is not counted below.
  executor.send_line(run_line("true"));
  events_to_exit(executor);
  const long before = executor.cpu_ticks();
  executor.send_line(run_line("sleep", {"2"}, redirects));
  EXPECT_EQ(exit_code_of(events_to_exit(executor)), 0);
  // A spinning cycle would burn about 200 ticks over these two seconds.
  EXPECT_LT(executor.cpu_ticks() - before, 40);
}

// The times the executor's main thread went to sleep so far.
long sleeps_of(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
  }
  return -1;
}

TEST(PtyRunE2E, IdleCommandDoesNotWakeTheExecutor) {
  ExecutorProcess executor;
  executor.send_line(run_line("sh", {"-c", "echo ready; sleep 2; echo done"}));
  read_output_until(executor, "ready");
  const long before = sleeps_of(executor.pid());
  auto events = events_to_exit(executor);
  EXPECT_EQ(exit_code_of(events), 0);
  EXPECT_NE(output_of(events).find("done"), std::string::npos);
  // A cycle that woke on a timer would sleep about 100 times in two seconds;
  // waking only for the output and the exit takes a handful.
  EXPECT_LT(sleeps_of(executor.pid()) - before, 25);
}

}  // namespace
}  // namespace zelta::testing
