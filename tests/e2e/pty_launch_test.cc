// Where a terminal command runs and what its redirections name, through the
// real executor: targets opened in the command's own context (its terminal,
// FIFOs whose peer comes later), and runs refused rather than misplaced.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "executor_process.h"
#include "run_requests.h"

namespace zelta::testing {
namespace {

using nlohmann::json;

// Reads "recv" and "started" of run "r1".
void expect_started(ExecutorProcess& executor) {
  EXPECT_EQ(executor.next_line(), R"({"msg_type":"run.ast","run_id":"r1","type":"recv"})");
  EXPECT_EQ(json::parse(executor.next_line()).value("type", ""), "started");
}

TEST(PtyLaunchE2E, StandardStreamNamesMeanTheCommandsTerminal) {
  ExecutorProcess executor;
  struct Case {
    std::vector<std::string> args;
    json redirects;
    std::string terminal;
  };
  const Case cases[] = {
      {{"-c", "echo out"}, json::array({redirect("Output", "/dev/stdout")}), "out\r\n"},
      {{"-c", "echo err >&2"}, json::array({redirect("Output", "/dev/stderr", 2)}), "err\r\n"},
      {{"-c", "echo tty"}, json::array({redirect("Output", "/dev/tty")}), "tty\r\n"},
      {{"-c", "echo app"}, json::array({redirect("Append", "/dev/fd/1")}), "app\r\n"},
      // Later redirections see the earlier ones: stderr follows stdout to null.
      {{"-c", "echo out; echo err >&2"},
       json::array({redirect("Output", "/dev/null"), redirect("Output", "/dev/stdout", 2)}),
       ""},
  };
  for (const Case& c : cases) {
    executor.send_line(command_request("r1", "sh", c.args, c.redirects));
    RunOutcome run = read_run(executor);
    EXPECT_EQ(run.exit_code, 0) << c.redirects;
    EXPECT_EQ(run.stdout_text, c.terminal) << c.redirects;
  }
  executor.close_stdin();
  EXPECT_EQ(executor.wait_exit(), 0);
  EXPECT_EQ(executor.stderr_text(), "");
}

TEST(PtyLaunchE2E, StandardInputNameReadsTheTerminalAndLeavesRequestsAlone) {
  ExecutorProcess executor;
  executor.send_line(
      command_request("r1", "cat", {}, json::array({redirect("Input", "/dev/stdin")})));
  expect_started(executor);
  executor.send_line(control_request("stdin.write", "r1", {{"data", "typed\n"}}));
  std::string terminal;  // the echo, then cat's copy
  while (terminal.find("typed\r\ntyped\r\n") == std::string::npos) {
    auto line = executor.read_line();
    ASSERT_TRUE(line) << terminal;
    json event = json::parse(*line);
    ASSERT_EQ(event.value("type", ""), "stdout") << *line;
    terminal += event["stdout"].get<std::string>();
  }
  executor.send_line(control_request("stdin.write", "r1", {{"data", "\u0004"}}));
  RunOutcome run = read_run(executor);
  EXPECT_EQ(run.exit_code, 0);
  executor.send_line(R"({"type":"process_subst"})");
  EXPECT_NE(executor.next_line().find("\"temp_path\""), std::string::npos);
}

TEST(PtyLaunchE2E, FifoPeerConnectingAfterTheStartIsMet) {
  ScratchDirectory dir;
  const std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ExecutorProcess executor;

  // The command reads a FIFO whose writer comes later.
  executor.send_line(command_request("r1", "cat", {}, json::array({redirect("Input", fifo)})));
  expect_started(executor);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  {
    int writer = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(::write(writer, "through fifo\n", 13), 13);
    ::close(writer);
  }
  RunOutcome reader = read_run(executor);
  EXPECT_EQ(reader.exit_code, 0);
  EXPECT_EQ(reader.stdout_text, "through fifo\r\n");

  // The command writes into a FIFO whose reader comes later.
  executor.send_line(
      command_request("r1", "echo", {"into fifo"}, json::array({redirect("Output", fifo)})));
  expect_started(executor);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::string received;
  {
    int reader_fd = ::open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reader_fd, 0);
    char buffer[64];
    ssize_t n;
    while ((n = ::read(reader_fd, buffer, sizeof buffer)) > 0) received.append(buffer, n);
    ::close(reader_fd);
  }
  RunOutcome writer = read_run(executor);
  EXPECT_EQ(writer.exit_code, 0);
  EXPECT_EQ(writer.stdout_text, "");
  EXPECT_EQ(received, "into fifo\n");
}

TEST(PtyLaunchE2E, CommandWaitingOnAFifoWithoutPeerCanBeEnded) {
  ScratchDirectory dir;
  const std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ExecutorProcess executor;
  struct Case {
    const char* kind;
    std::string control;
    int exit_code;
  };
  const Case cases[] = {
      {"Input", control_request("run.signal", "r1", {{"signal", "KILL"}}), 137},
      {"Output", control_request("run.signal", "r1", {{"signal", "TERM"}}), 143},
      {"Append", control_request("stdin.write", "r1", {{"data", "\u0003"}}), 130},
  };
  for (const Case& c : cases) {
    executor.send_line(command_request("r1", "cat", {}, json::array({redirect(c.kind, fifo)})));
    expect_started(executor);
    executor.send_line(c.control);
    EXPECT_EQ(read_run(executor).exit_code, c.exit_code) << c.kind;
  }
  EXPECT_TRUE(executor.children().empty());
}

TEST(PtyLaunchE2E, UnusableDirectoryOrRedirectionRefusesTheRun) {
  ScratchDirectory dir;
  const std::string file = dir.write_file("file", "x");
  ExecutorProcess executor;
  struct Case {
    json redirects;
    json extra;
    std::string terminal;
  };
  const Case cases[] = {
      {json::array(),
       {{"cwd", dir.path() + "/missing"}},
       dir.path() + "/missing: No such file or directory (os error 2)"},
      {json::array(), {{"cwd", file}}, file + ": Not a directory (os error 20)"},
      {json::array(), {{"cwd", ""}}, ": No such file or directory (os error 2)"},
      {json::array({redirect("Input", "missing.txt")}),
       {{"cwd", dir.path()}},
       "missing.txt: No such file or directory (os error 2)"},
      {json::array({redirect("Output", "no-dir/out")}),
       {{"cwd", dir.path()}},
       "no-dir/out: No such file or directory (os error 2)"},
      {json::array({redirect("Append", dir.path(), 2)}), json::object(),
       dir.path() + ": Is a directory (os error 21)"},
      {json::array({redirect("HereDoc", "text")}),
       {{"env", {{"TMPDIR", dir.path() + "/gone"}}}},
       dir.path() + "/gone: No such file or directory (os error 2)"},
      // The first redirection that fails stops the command.
      {json::array({redirect("Output", "/dev/null"), redirect("Input", "/nonexistent/x"),
                    redirect("Output", "no-dir/out")}),
       json::object(), "/nonexistent/x: No such file or directory (os error 2)"},
  };
  for (const Case& c : cases) {
    executor.send_line(command_request("r1", "echo", {"ran"}, c.redirects, c.extra));
    RunOutcome run = read_run(executor);
    EXPECT_EQ(run.exit_code, 1) << c.terminal;
    EXPECT_EQ(run.stdout_text, c.terminal + "\r\n");
  }
  // The message follows standard error where an earlier redirection sent it.
  executor.send_line(command_request(
      "r1", "echo", {"ran"},
      json::array({redirect("Output", "err.txt", 2), redirect("Input", "missing.txt")}),
      {{"cwd", dir.path()}}));
  RunOutcome quiet = read_run(executor);
  EXPECT_EQ(quiet.exit_code, 1);
  EXPECT_EQ(quiet.stdout_text, "");
  std::ifstream err(dir.path() + "/err.txt");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(err), {}),
            "missing.txt: No such file or directory (os error 2)\n");
  auto left = directory_entries(dir.path());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"err.txt", "file"}));
}

TEST(PtyLaunchE2E, DirectoryWithoutPermissionRefusesTheRun) {
  ScratchDirectory dir;
  const std::string locked = dir.path() + "/locked";
  ASSERT_EQ(::mkdir(locked.c_str(), 0700), 0);
  // Root enters any directory: as root the executor runs as another user.
  std::string why;
  const ExecutorOptions options = unprivileged_options(dir, why);
  if (!why.empty()) GTEST_SKIP() << why;
  if (::geteuid() != 0) ::chmod(locked.c_str(), 0);
  ExecutorProcess executor(options);
  executor.send_line(command_request("r1", "echo", {"ran"}, json::array(), {{"cwd", locked}}));
  RunOutcome run = read_run(executor);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.stdout_text, locked + ": Permission denied (os error 13)\r\n");
  ::rmdir(locked.c_str());
}

// Pipelines keep refusing a directory they cannot enter as a start failure.
TEST(PtyLaunchE2E, PipelineInAMissingDirectoryIsASpawnFailure) {
  ExecutorProcess executor;
  executor.send_line(
      pipeline_request("r1", {{"echo", "ran"}, {"cat"}}, {{"cwd", "/nonexistent/zelta"}}));
  RunOutcome run = read_run(executor);
  EXPECT_EQ(run.error, "spawn failed: No such file or directory (os error 2)");
}

}  // namespace
}  // namespace zelta::testing
