// A front end that goes away, or that passes odd signal settings on: the
// executor never outlives it, never leaves a command behind, and its own
// waiting works whatever it inherited.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "executor_process.h"
#include "run_requests.h"

namespace zelta::testing {
namespace {

using nlohmann::json;

bool process_exists(pid_t pid) {
  const char state = ExecutorProcess::process_state(pid);
  return state != 0 && state != 'Z';
}

// The process id written to `path` by a command, once it is there.
pid_t pid_from_file(const std::string& path) {
  pid_t pid = -1;
  eventually([&] {
    std::ifstream in(path);
    return static_cast<bool>(in >> pid);
  });
  return pid;
}

// Closes the front end's ends of the executor's pipes and checks that the
// executor exits and that none of `pids` survives it.
void expect_all_gone(ExecutorProcess& executor, bool close_stdin, const std::vector<pid_t>& pids) {
  executor.close_stdout();
  if (close_stdin) executor.close_stdin();
  EXPECT_TRUE(executor.wait_exit().has_value()) << "the executor outlived its front end";
  for (pid_t pid : pids) {
    EXPECT_TRUE(eventually([&] { return !process_exists(pid); }))
        << "process " << pid << " was left";
  }
}

// Silent commands: nothing is written, so only watching the output stream
// can tell that the front end has gone.
TEST(FrontEndGone, SilentTerminalCommandIsEndedAndTheExecutorExits) {
  ScratchDirectory scratch;
  const std::string background = scratch.path() + "/background";
  const struct {
    const char* name;
    std::vector<std::string> command;
    bool close_stdin;
    bool has_background;
  } cases[] = {
      {"cat, stdout closed", {"cat"}, false, false},
      {"cat, both closed", {"cat"}, true, false},
      {"interactive shell at its prompt", {"sh", "-i"}, true, false},
      // Ignores the hang-up, and so does what it started (an ignored signal
      // is inherited): only the kill of its process group ends them.
      {"hang-up ignored",
       {"sh", "-c", "trap '' HUP; sleep 300 & echo $! > " + background + "; wait"},
       true,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ::unlink(background.c_str());
    ExecutorProcess executor;
    std::vector<std::string> args(c.command.begin() + 1, c.command.end());
    executor.send_line(command_request("r", c.command[0], args));
    const auto lines = executor.read_until("\"type\":\"started\"");
    ASSERT_FALSE(lines.empty());
    std::vector<pid_t> pids = {json::parse(lines.back()).at("child_pid").get<pid_t>()};
    if (c.has_background) pids.push_back(pid_from_file(background));
    expect_all_gone(executor, c.close_stdin, pids);
  }
}

TEST(FrontEndGone, PipelineThatNeverEndsIsEnded) {
  ScratchDirectory scratch;
  const std::string first = scratch.path() + "/first";
  const std::string lingering = scratch.path() + "/lingering";
  ExecutorProcess executor;
  // A member that never ends, and one that never gets end of file.
  executor.send_line(
      pipeline_request("p", {{"sh", "-c", "echo $$ > " + first + "; exec sleep 300"}, {"cat"}}));
  expect_all_gone(executor, false, {pid_from_file(first)});

  // The members are done, but a process they started keeps the output pipe
  // open; it is not a member, so it is left to end by itself (killed here).
  ExecutorProcess held;
  held.send_line(pipeline_request("q", {{"sh", "-c", "sleep 300 & echo $! > " + lingering}}));
  const pid_t holder = pid_from_file(lingering);
  held.close_stdout();
  held.close_stdin();
  EXPECT_TRUE(held.wait_exit().has_value()) << "the executor outlived its front end";
  if (holder > 0) ::kill(holder, SIGKILL);
}

// SIGCHLD ignored or blocked by the front end survives exec; the executor
// must still see every exit status, without spinning on a lost child.
TEST(FrontEndGone, InheritedChildSignalSettingsKeepExitCodes) {
  const struct {
    const char* name;
    std::vector<int> ignored;
    std::vector<int> blocked;
  } cases[] = {
      {"SIGCHLD ignored", {SIGCHLD}, {}},
      {"SIGCHLD blocked", {}, {SIGCHLD}},
      {"both", {SIGCHLD}, {SIGCHLD}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ExecutorOptions options;
    options.ignored_signals = c.ignored;
    options.blocked_signals = c.blocked;
    ExecutorProcess executor(options);
    executor.send_line(command_request("t", "sh", {"-c", "sleep 0.2; exit 3"}));
    EXPECT_EQ(read_run(executor).exit_code, 3);
    executor.send_line(command_request("k", "sleep", {"300"}));
    executor.read_until("\"type\":\"started\"");
    executor.send_line(control_request("run.signal", "k", {{"signal", "KILL"}}));
    EXPECT_EQ(read_run(executor).exit_code, 137);
    executor.send_line(
        pipeline_request("p", {{"sh", "-c", "echo x; exit 5"}, {"sh", "-c", "cat; exit 4"}}));
    RunOutcome pipeline = read_run(executor);
    EXPECT_EQ(pipeline.stdout_text, "x\n");
    EXPECT_EQ(pipeline.exit_code, 4);
    EXPECT_TRUE(eventually([&] { return executor.children().empty(); }));
  }
}

}  // namespace
}  // namespace zelta::testing
