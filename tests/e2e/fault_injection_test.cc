// Faults from the system, the front end and the commands: each test ends
// with the executor still serving (or, when the front end has gone, exited)
// and with no descriptor, child or file left behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include "executor_process.h"
#include "run_requests.h"

namespace zelta::testing {
namespace {

using nlohmann::json;

// Sets the soft limit of `resource` for process `pid`; the hard limit stays,
// so the soft one can be raised again without privileges.
bool set_limit(pid_t pid, int resource, rlim_t value) {
  const auto which = static_cast<__rlimit_resource>(resource);
  rlimit limit{};
  if (::prlimit(pid, which, nullptr, &limit) != 0) return false;
  limit.rlim_cur = std::min(value, limit.rlim_max);
  if (::prlimit(pid, which, &limit, nullptr) == 0) return true;
  ADD_FAILURE() << "prlimit: " << std::strerror(errno);
  return false;
}

// A request that must still be answered normally.
void expect_serving(ExecutorProcess& executor) {
  executor.send_line(command_request("alive", "echo", {"alive"}));
  RunOutcome run = read_run(executor);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.stdout_text, "alive\r\n");
}

bool process_exists(pid_t pid) {
  const char state = ExecutorProcess::process_state(pid);
  return state != 0 && state != 'Z';
}

// The sanitizers' runtime opens a pipe to probe memory before some checks;
// without a spare descriptor it reports faults that are not there.
constexpr const char* kNoDescriptorsUnderSanitizers =
    "a sanitizer runtime needs descriptors of its own; run in the plain build";

TEST(FaultE2E, DescriptorExhaustionGetsErrorRepliesOrRefusedRuns) {
  if (kSanitizerBuild) GTEST_SKIP() << kNoDescriptorsUnderSanitizers;
  ScratchDirectory scratch;
  ScratchDirectory tmp;
  const std::string file = scratch.write_file("f.txt", "text");
  ExecutorProcess executor;
  expect_serving(executor);
  const auto fds_before = executor.open_fds();
  const json here_doc = json::array({redirect("HereString", "doc")});
  const json env = {{"env", {{"TMPDIR", tmp.path()}}}};

  // From no spare descriptor at all up to a few: every request is answered
  // with a well-formed reply or a complete run.
  for (rlim_t limit = 3; limit <= 10; ++limit) {
    ASSERT_TRUE(set_limit(executor.pid(), RLIMIT_NOFILE, limit));
    SCOPED_TRACE("RLIMIT_NOFILE " + std::to_string(limit));

    executor.send_line(json{{"type", "read_file"}, {"path", file}}.dump());
    const std::string reply = executor.next_line();
    EXPECT_TRUE(reply == R"({"exit_code":0,"content":"text"})" ||
                reply ==
                    R"x({"exit_code":1,"error":"Read error: Too many open files (os error 24)"})x")
        << reply;
    ASSERT_FALSE(HasFailure()) << executor.stderr_text();

    // Without a descriptor for the document the command does not run.
    executor.send_line(command_request("r", "timeout", {"1", "cat"}, here_doc, env));
    RunOutcome run = read_run(executor);
    if (run.error.empty()) {
      EXPECT_TRUE((run.exit_code == 0 && run.stdout_text == "doc\r\n") ||
                  (run.exit_code == 1 &&
                   run.stdout_text == tmp.path() + ": Too many open files (os error 24)\r\n"))
          << run.exit_code << " " << run.stdout_text;
    } else {
      EXPECT_EQ(run.error, "forkpty failed");
    }

    executor.send_line(json{{"type", "glob"}, {"patterns", {"*"}}, {"cwd", scratch.path()}}.dump());
    EXPECT_EQ(json::parse(executor.next_line()).value("exit_code", -1), 0);
    ASSERT_FALSE(HasFailure()) << executor.stderr_text();
  }
  ASSERT_TRUE(set_limit(executor.pid(), RLIMIT_NOFILE, RLIM_INFINITY));
  expect_serving(executor);
  EXPECT_EQ(executor.open_fds(), fds_before);
  EXPECT_TRUE(eventually([&] { return executor.children().empty(); }));
  EXPECT_TRUE(directory_entries(tmp.path()).empty());
}

// Options that start the executor with at most `processes` processes and
// threads for its user (a copy of it kept in `dir`, see unprivileged_options),
// or nullopt (with the reason) where that cannot be arranged.
std::optional<ExecutorOptions> limited_processes(const ScratchDirectory& dir, int processes,
                                                 std::string& why) {
  if (::access("/usr/bin/prlimit", X_OK) != 0) {
    why = "prlimit is not installed";
    return std::nullopt;
  }
  // The limit does not bind root: as root the executor runs as another user.
  ExecutorOptions options = unprivileged_options(
      dir, why, {"prlimit", "--nproc=" + std::to_string(processes) + ":", "--"});
  if (!why.empty()) return std::nullopt;
  return options;
}

TEST(FaultE2E, ProcessExhaustionAnswersForkptyFailed) {
  ScratchDirectory dir;
  std::string why;
  auto options = limited_processes(dir, 1, why);
  if (!options) GTEST_SKIP() << why;
  // The executor is its user's only process and may start no other.
  ExecutorProcess executor(*options);
  executor.send_line(R"({"type":"process_subst"})");
  if (!executor.read_line()) GTEST_SKIP() << "the executor cannot run as an unprivileged user here";
  for (int i = 0; i < 3; ++i) {
    executor.send_line(command_request("r", "true"));
    RunOutcome run = read_run(executor);
    if (run.error.empty()) GTEST_SKIP() << "other processes of the unprivileged user exist";
    EXPECT_EQ(run.error, "forkpty failed");
  }
  // A pipeline cannot start its first member either.
  executor.send_line(pipeline_request("p", {{"true"}, {"true"}}));
  RunOutcome pipeline = read_run(executor);
  EXPECT_EQ(pipeline.error.rfind("spawn failed: ", 0), 0u) << pipeline.error;
  executor.send_line(R"({"type":"read_file","path":"/nonexistent"})");
  EXPECT_EQ(executor.next_line(),
            R"x({"exit_code":1,"error":"Read error: No such file or directory (os error 2)"})x");
  EXPECT_TRUE(executor.children().empty());
}

TEST(FaultE2E, ProcessExhaustionPartWayThroughAPipeline) {
  // Members and capture threads both count against the limit, so each limit
  // stops the launch at a different member or capture.
  for (int processes = 2; processes <= 8; ++processes) {
    SCOPED_TRACE("RLIMIT_NPROC " + std::to_string(processes));
    ScratchDirectory dir;
    std::string why;
    auto options = limited_processes(dir, processes, why);
    if (!options) GTEST_SKIP() << why;
    ExecutorProcess executor(*options);
    executor.send_line(pipeline_request("p", {{"echo", "a"}, {"cat"}, {"cat"}}));
    auto first = executor.read_line();
    if (!first) GTEST_SKIP() << "the executor cannot run as an unprivileged user here";
    RunOutcome run;
    if (first->find("\"error\"") != std::string::npos) {
      run.error = nlohmann::json::parse(*first)["error"].get<std::string>();
    } else {
      run = read_run(executor);
      run.stdout_text = nlohmann::json::parse(*first).value("stdout", "") + run.stdout_text;
    }
    if (run.error.empty()) {
      EXPECT_EQ(run.stdout_text, "a\n");
      EXPECT_EQ(run.exit_code, 0);
    } else {
      EXPECT_EQ(run.error.rfind("spawn failed: ", 0), 0u) << run.error;
    }
    executor.send_line(R"({"type":"process_subst"})");
    EXPECT_NE(executor.next_line().find("\"exit_code\":0"), std::string::npos);
    // Members started before the failure are reaped, not left as zombies.
    EXPECT_TRUE(eventually([&] { return executor.children().empty(); }));
  }
}

TEST(FaultE2E, FullTemporaryDirectoryForHereDocuments) {
  ScratchDirectory tmp;
  if (::mount("tmpfs", tmp.path().c_str(), "tmpfs", 0, "size=64k,mode=0777") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here (needs root in a private mount namespace)";
  }
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{tmp.path()};

  ExecutorProcess executor;
  const json env = {{"env", {{"TMPDIR", tmp.path()}}}};
  // A document larger than the file system: the command does not run on a
  // part of its input, and the half-written file is gone afterwards.
  const std::string full = tmp.path() + ": No space left on device (os error 28)\r\n";
  const std::string big(256 * 1024, 'd');
  executor.send_line(
      command_request("r", "wc", {"-c"}, json::array({redirect("HereDoc", big)}), env));
  RunOutcome run = read_run(executor);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.stdout_text, full);
  EXPECT_TRUE(directory_entries(tmp.path()).empty());

  // Filled to the last block: a small document cannot be written either.
  tmp.write_file("filler", std::string(64 * 1024, 'f'));
  executor.send_line(
      command_request("r", "wc", {"-c"}, json::array({redirect("HereString", "x")}), env));
  run = read_run(executor);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.stdout_text, full);
  EXPECT_EQ(directory_entries(tmp.path()), std::vector<std::string>{"filler"});
  expect_serving(executor);
}

TEST(FaultE2E, FrontEndClosingStdoutMidRunEndsTheExecutor) {
  ExecutorProcess executor;
  executor.send_line(
      command_request("r", "sh", {"-c", "echo $$; while :; do echo tick; sleep 0.01; done"}));
  executor.read_until("\"type\":\"started\"");
  // The shell's pid, whole: its digits may come in more than one event.
  std::string output;
  for (const auto& line : read_output_until(executor, "\n")) {
    const json event = json::parse(line);
    if (event.value("type", "") == "stdout") output += event["stdout"].get<std::string>();
  }
  const pid_t child = output.empty() || !std::isdigit(static_cast<unsigned char>(output[0]))
                          ? -1
                          : std::stoi(output);
  EXPECT_GT(child, 0) << output;
  executor.close_stdout();
  EXPECT_TRUE(executor.wait_exit().has_value()) << "the executor outlived its front end";
  if (child > 0) {
    EXPECT_TRUE(eventually([&] { return !process_exists(child); }))
        << "the command outlived the executor";
  }
}

TEST(FaultE2E, FrontEndClosingStdinMidRunLetsTheRunFinish) {
  ExecutorProcess executor;
  executor.send_line(command_request("r", "sh", {"-c", "echo ready; sleep 0.5; echo done"}));
  read_output_until(executor, "ready");
  executor.close_stdin();
  RunOutcome run = read_run(executor);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_NE(run.stdout_text.find("done"), std::string::npos);
  EXPECT_EQ(executor.wait_exit(), 0);
}

TEST(FaultE2E, CommandIgnoringInterruptAndTerminationEndsOnlyByKill) {
  ExecutorProcess executor;
  executor.send_line(command_request(
      "r", "sh", {"-c", "trap '' INT TERM; echo ready; while :; do sleep 0.05; done"}));
  read_output_until(executor, "ready");
  for (const char* name : {"INT", "TERM"}) {
    executor.send_line(control_request("run.signal", "r", {{"signal", name}}));
  }
  // Both signals are ignored: the run goes on. Output such as the rest of the
  // "ready" line may still arrive, but no exit event does.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  while (std::chrono::steady_clock::now() < until) {
    const auto line = executor.read_line(std::chrono::milliseconds(100));
    if (line) {
      EXPECT_EQ(line->find("\"exit\""), std::string::npos) << *line;
    }
  }
  executor.send_line(control_request("run.signal", "r", {{"signal", "KILL"}}));
  EXPECT_EQ(read_run(executor).exit_code, 137);
  expect_serving(executor);
  EXPECT_TRUE(eventually([&] { return executor.children().empty(); }));
}

TEST(FaultE2E, BackgroundProcessHoldingTheTerminalDoesNotHoldTheRun) {
  ScratchDirectory scratch;
  ExecutorProcess executor;
  expect_serving(executor);
  const auto fds_before = executor.open_fds();
  // The background process moves to a session of its own (so the hang-up
  // that ends the terminal's session spares it) and reports its pid through
  // a file; the command waits for that, so it is in place before the run
  // ends. It outlives the run with the terminal still on its stdin and stderr.
  const std::string pid_file = scratch.path() + "/pid";
  executor.send_line(command_request(
      "r", "sh",
      {"-c", "setsid sh -c 'echo $$; exec sleep 60' >" + pid_file + " & while [ ! -s " + pid_file +
                 " ]; do sleep 0.01; done; cat " + pid_file}));
  RunOutcome run = read_run(executor);
  EXPECT_EQ(run.exit_code, 0);
  const pid_t background = std::atoi(run.stdout_text.c_str());
  ASSERT_GT(background, 0) << run.stdout_text;
  EXPECT_TRUE(process_exists(background));
  ::kill(background, SIGKILL);
  expect_serving(executor);
  EXPECT_EQ(executor.open_fds(), fds_before);
  EXPECT_TRUE(eventually([&] { return executor.children().empty(); }));
}

TEST(FaultE2E, HugeRequestLineAndLargeTypedInput) {
  ExecutorProcess executor;
  expect_serving(executor);
  const long rss_before = resident_kib(executor.pid());

  // 100 MB in a member the decoder skips.
  std::string line = R"({"type":"process_subst","extra":")";
  line.append(100 * 1024 * 1024, 'x');
  line += "\"}";
  executor.send_line(line);
  EXPECT_EQ(
      executor.next_line(std::chrono::seconds(120)),
      R"({"exit_code":0,"temp_path":"/tmp/zelta-stdio-)" + std::to_string(executor.pid()) + "\"}");
  line.clear();
  line.shrink_to_fit();

  // 10 MB typed into a command in one request, every byte delivered.
  const std::size_t typed = 10 * 1024 * 1024;
  executor.send_line(command_request(
      "r", "sh",
      {"-c", "stty raw -echo; echo ready; head -c " + std::to_string(typed) + " | wc -c"}));
  read_output_until(executor, "ready");
  executor.send_line(control_request("stdin.write", "r", {{"data", std::string(typed, 't')}}));
  RunOutcome run = read_run(executor, std::chrono::seconds(120));
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_NE(run.stdout_text.find(std::to_string(typed)), std::string::npos) << run.stdout_text;

  // The memory of both is given back (by the time the next request is served:
  // the run frees its buffers after its "exit" event).
  expect_serving(executor);
  const long rss_after = resident_kib(executor.pid());
  std::printf("huge inputs: rss %ld KiB -> %ld KiB\n", rss_before, rss_after);
  if (kResidentMemoryIsMeaningful) {
    EXPECT_LT(rss_after, rss_before + 8 * 1024);
  }
  expect_serving(executor);
}

// Pipelines under faults. Each test is skipped while pipelines cannot be
// launched at all.
class PipelineFaultE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pipelines_available(executor_)) GTEST_SKIP() << "pipelines are not launched yet";
  }
  ExecutorProcess executor_;
};

TEST_F(PipelineFaultE2E, DescriptorExhaustionGetsSpawnFailedOrAFullRun) {
  if (kSanitizerBuild) GTEST_SKIP() << kNoDescriptorsUnderSanitizers;
  const auto fds_before = executor_.open_fds();
  for (rlim_t limit = 3; limit <= 14; ++limit) {
    ASSERT_TRUE(set_limit(executor_.pid(), RLIMIT_NOFILE, limit));
    SCOPED_TRACE("RLIMIT_NOFILE " + std::to_string(limit));
    executor_.send_line(pipeline_request("p", {{"echo", "a"}, {"cat"}, {"cat"}}));
    RunOutcome run = read_run(executor_);
    if (run.error.empty()) {
      EXPECT_EQ(run.stdout_text, "a\n");
      EXPECT_EQ(run.exit_code, 0);
    } else {
      EXPECT_EQ(run.error.rfind("spawn failed: ", 0), 0u) << run.error;
    }
    ASSERT_FALSE(HasFailure()) << executor_.stderr_text();
  }
  ASSERT_TRUE(set_limit(executor_.pid(), RLIMIT_NOFILE, RLIM_INFINITY));
  expect_serving(executor_);
  // Captures of members started before a failed spawn finish in the
  // background and close their descriptors then.
  EXPECT_TRUE(eventually([&] { return executor_.open_fds() == fds_before; }));
  // Members started before a failed spawn are not left as zombies.
  EXPECT_TRUE(eventually([&] { return executor_.children().empty(); }));
}

TEST_F(PipelineFaultE2E, FrontEndClosingStdoutMidPipelineEndsTheExecutor) {
  executor_.send_line(pipeline_request("p", {{"sh", "-c", "sleep 0.5; echo x"}, {"cat"}}));
  executor_.close_stdout();
  EXPECT_TRUE(executor_.wait_exit().has_value());
}

TEST_F(PipelineFaultE2E, FrontEndClosingStdinMidPipelineLetsItFinish) {
  executor_.send_line(pipeline_request("p", {{"sh", "-c", "sleep 0.5; echo x"}, {"cat"}}));
  executor_.close_stdin();
  RunOutcome run = read_run(executor_);
  EXPECT_EQ(run.stdout_text, "x\n");
  EXPECT_EQ(executor_.wait_exit(), 0);
}

TEST_F(PipelineFaultE2E, BackgroundProcessHoldingThePipeIsWaitedFor) {
  // "now" is written before the background process exists, so the order of
  // the two lines does not depend on how soon the shell is scheduled.
  executor_.send_line(
      pipeline_request("p", {{"sh", "-c", "echo now; (sleep 0.5; echo late) &"}, {"cat"}}));
  RunOutcome run = read_run(executor_);
  EXPECT_EQ(run.stdout_text, "now\nlate\n");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_TRUE(eventually([&] { return executor_.children().empty(); }));
}

TEST_F(PipelineFaultE2E, LargeStandardErrorArrivesWhole) {
  // Scaled down from the 1 GB of the soak bench (ZELTA_SOAK_HUGE=1).
  constexpr long kSize = 32L * 1024 * 1024;
  executor_.send_line(pipeline_request(
      "p", {{"sh", "-c", "head -c " + std::to_string(kSize) + " /dev/zero | tr '\\0' e >&2"},
            {"true"}}));
  // The lines are compared as bytes, not parsed: the JSON library would take most
  // of this test's time on 32 MB under a sanitizer. Compared whole: a mismatch
  // would print megabytes.
  EXPECT_EQ(executor_.next_line(), R"({"msg_type":"run.ast","run_id":"p","type":"recv"})");
  const std::string text(kSize, 'e');
  const auto line = executor_.read_line(std::chrono::seconds(120));
  ASSERT_TRUE(line) << "no stderr event";
  EXPECT_TRUE(*line == "{\"data\":\"" + text + "\",\"run_id\":\"p\",\"stderr\":\"" + text +
                           "\",\"type\":\"stderr\"}")
      << line->size() << " bytes: " << line->substr(0, 200);
  EXPECT_EQ(executor_.next_line(), R"({"exit_code":0,"run_id":"p","type":"exit"})");
  expect_serving(executor_);
}

// With its address space limited, the executor cannot hold a large standard
// output: it keeps what it could, says so at the end of "stderr", reports the
// exit code, and goes on serving.
TEST_F(PipelineFaultE2E, OutputTooLargeToHoldIsCutAndReported) {
  if (kSanitizerBuild) GTEST_SKIP() << "a sanitizer runtime reserves address space of its own";
  constexpr long kSize = 256L * 1024 * 1024;
  const long vm_kib = status_kib(executor_.pid(), "VmSize");
  ASSERT_GT(vm_kib, 0);
  ASSERT_TRUE(set_limit(executor_.pid(), RLIMIT_AS, (vm_kib + 96 * 1024) * 1024L));
  executor_.send_line(pipeline_request(
      "p", {{"sh", "-c", "head -c " + std::to_string(kSize) + " /dev/zero | tr '\\0' a; exit 3"}}));
  RunOutcome run = read_run(executor_, std::chrono::seconds(120));
  ASSERT_TRUE(set_limit(executor_.pid(), RLIMIT_AS, RLIM_INFINITY));
  EXPECT_EQ(run.exit_code, 3);
  const long kept = static_cast<long>(run.stdout_text.size());
  EXPECT_GT(kept, 0);
  EXPECT_LT(kept, kSize);
  EXPECT_EQ(run.stdout_text.find_first_not_of('a'), std::string::npos);
  EXPECT_EQ(run.stderr_text, "[zelta-stdio] stdout truncated: kept " + std::to_string(kept) +
                                 " bytes, dropped " + std::to_string(kSize - kept) +
                                 " bytes (out of memory)\n");
  expect_serving(executor_);
}

}  // namespace
}  // namespace zelta::testing
